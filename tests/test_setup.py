"""What start does around the program: it fetches a current yt-dlp and deno,
checks them, and installs them, or, when that cannot be done, says so and
starts the program with what there is.

A server on 127.0.0.1 is laid out like the two release folders.  Its
SHA2-256SUMS is signed with a throwaway key, which takes the place of the
shipped key in a copy of the checkout; the key in the tree is never
touched.  The released yt-dlp and deno are small scripts that say their
version and note where the program found them.

FT_CHECKOUT names the checkout."""

import hashlib
import os
import platform
import re
import shutil
import socket
import subprocess
import threading
import time
import zipfile
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import SHELL_PACKAGES, SHELLS

CHECKOUT = os.environ.get("FT_CHECKOUT", "")
SHIPPED_FINGERPRINT = "AC0CBBE6848D6A873464AF4E57CF65933B5A7581"
P = "Enter youtube link : \n"
ARCH = {"x86_64": "x86_64", "aarch64": "aarch64"}.get(platform.machine(), "")
ASSET = {"x86_64": "yt-dlp_linux", "aarch64": "yt-dlp_linux_aarch64"}.get(ARCH, "yt-dlp")
DENO_ZIP = f"deno-{ARCH}-unknown-linux-gnu.zip"
NEEDED = "the video service needs yt-dlp 2025.11.12 or later with deno 2.3.0 or later"

# The released yt-dlp: says its version, notes an update, and for a link
# notes which yt-dlp and deno the program's PATH found.
RELEASED_YTDLP = """#!/bin/sh
case $1 in
--version) echo 2025.11.12 ;;
-U) echo update >>"$FT_TOOLS_LOG" ;;
*) echo "yt-dlp=$(command -v yt-dlp) deno=$(command -v deno) $(deno --version | head -n 1)" >>"$FT_TOOLS_LOG" ;;
esac
"""
RELEASED_DENO = """#!/bin/sh
echo 'deno 2.5.0 (stable, release, x86_64-unknown-linux-gnu)'
echo 'v8 13.0.245.12-rusty'
"""


def script(path, text):
    path.write_text(text)
    path.chmod(0o755)
    return path


def gpg(home, *args, **kwargs):
    return subprocess.run(["gpg", "--homedir", str(home), "--batch", "--quiet", *args],
                          check=True, capture_output=True, **kwargs)


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """Two throwaway signing keys: 'release' stands for yt-dlp's, 'other'
    for anybody else's.  Yields {name: (gnupg home, fingerprint)}."""
    if not shutil.which("gpg"):
        pytest.fail("gpg is missing (Debian: apt-get install gpg)")
    made = {}
    for name in ("release", "other"):
        home = tmp_path_factory.mktemp("gnupg-" + name)
        home.chmod(0o700)
        gpg(home, "--passphrase", "", "--quick-gen-key", f"{name} <{name}@test.invalid>",
            "ed25519", "sign", "never")
        colons = gpg(home, "--with-colons", "--list-keys", text=True).stdout
        made[name] = (home, re.search(r"^fpr:+([0-9A-F]{40}):", colons, re.M).group(1))
    yield made
    for home, _ in made.values():
        subprocess.run(["gpgconf", "--homedir", str(home), "--kill", "all"])


@pytest.fixture(scope="session")
def checkout(tmp_path_factory, keys):
    """A copy of what start uses, with the throwaway release key shipped and
    pinned in place of yt-dlp's."""
    copy = tmp_path_factory.mktemp("checkout")
    for part in ("start", "CMakeLists.txt", "setup", "src", "cmake"):
        source = os.path.join(CHECKOUT, part)
        (shutil.copytree if os.path.isdir(source) else shutil.copy2)(source, copy / part)
    home, fingerprint = keys["release"]
    (copy / "setup/yt-dlp-release-signing.asc").write_bytes(gpg(home, "--armor", "--export").stdout)
    common = copy / "setup/common.sh"
    assert SHIPPED_FINGERPRINT in common.read_text()
    common.write_text(common.read_text().replace(SHIPPED_FINGERPRINT, fingerprint))
    return copy


def sha256(data):
    return hashlib.sha256(data).hexdigest()


@dataclass
class Release:
    """The files of the two release folders, by path below the server."""
    files: dict
    truncated: set = field(default_factory=set)  # sent half, with the whole length announced


def good_release(keys, tmp_path):
    ytdlp = RELEASED_YTDLP.encode()
    zip_path = tmp_path / DENO_ZIP
    with zipfile.ZipFile(zip_path, "w") as z:
        info = zipfile.ZipInfo("deno")
        info.external_attr = 0o755 << 16
        z.writestr(info, RELEASED_DENO)
        z.writestr("denort", "not to be unpacked")
    deno_zip = zip_path.read_bytes()
    # Lines for the assets whose names contain this one's come first.
    sums = "".join(f"{sha256(data)}  {name}\n" for name, data in [
        (ASSET + ".zip", b"zip"), (ASSET + "_aarch64", b"arm"), ("yt-dlp_linux_armv7l", b"armv7l"),
        ("yt-dlp", b"zipimport"), (ASSET, ytdlp), ("yt-dlp.exe", b"exe")]).encode()
    release = Release({"yt-dlp/" + ASSET: ytdlp, "yt-dlp/SHA2-256SUMS": sums,
                       "deno/" + DENO_ZIP: deno_zip,
                       "deno/" + DENO_ZIP + ".sha256sum": f"{sha256(deno_zip)}  {DENO_ZIP}\n".encode()})
    sign(release, keys["release"][0], tmp_path)
    return release


def sign(release, home, tmp_path):
    sums = tmp_path / "SHA2-256SUMS"
    sums.write_bytes(release.files["yt-dlp/SHA2-256SUMS"])
    sig = tmp_path / "SHA2-256SUMS.sig"
    sig.unlink(missing_ok=True)
    gpg(home, "--detach-sign", "--output", str(sig), str(sums))
    release.files["yt-dlp/SHA2-256SUMS.sig"] = sig.read_bytes()


@pytest.fixture
def server():
    """Serves a Release on a free port of 127.0.0.1; yields (base URL, a
    function that sets the Release, the request paths seen)."""
    state = {"release": Release({})}
    requests = []

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, format, *args):
            pass

        def do_GET(self):
            path = self.path.lstrip("/")
            requests.append(path)
            release = state["release"]
            if path not in release.files:
                self.send_error(404)
                return
            data = release.files[path]
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[:len(data) // 2] if path in release.truncated else data)

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield (f"http://127.0.0.1:{httpd.server_address[1]}",
               lambda release: state.update(release=release), requests)
    finally:
        httpd.shutdown()
        httpd.server_close()


@dataclass
class Run:
    stdout: str
    stderr: str
    status: int
    seconds: float
    bin: list  # what the install folder holds
    tools_log: list  # what the released yt-dlp noted


def user(tmp_path, base):
    """A user of this machine whose PATH holds an old yt-dlp and no deno,
    with start's own folders below tmp_path.  Returns (env, run) where run
    starts the checkout's start under a shell, with stdin."""
    old = tmp_path / "oldbin"
    old.mkdir()
    script(old / "yt-dlp", "#!/bin/sh\necho 2023.03.04\n")
    (tmp_path / "currentbin").mkdir()
    script(tmp_path / "currentbin/yt-dlp", "#!/bin/sh\necho 2025.12.01\n")
    for folder in ("home", "bin", "tmp"):
        (tmp_path / folder).mkdir()
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(PATH=f"{old}:/usr/bin:/bin:/usr/sbin:/sbin", HOME=str(tmp_path / "home"),
               TMPDIR=str(tmp_path / "tmp"), FERNHOLLOW_BIN=str(tmp_path / "bin"),
               FERNHOLLOW_YTDLP_RELEASES=base + "/yt-dlp", FERNHOLLOW_DENO_RELEASES=base + "/deno",
               FT_TOOLS_LOG=str(tmp_path / "tools.log"))
    env.pop("XDG_STATE_HOME", None)

    def run(checkout, stdin="", shell=("/bin/sh",)):
        began = time.monotonic()
        p = subprocess.run([*shell, str(checkout / "start")], input=stdin.encode(),
                           capture_output=True, cwd=tmp_path, env=env, timeout=600)
        seconds = time.monotonic() - began
        assert os.listdir(tmp_path / "tmp") == [], "start left its work folder behind"
        log = tmp_path / "tools.log"
        return Run(p.stdout.decode(), p.stderr.decode(), p.returncode, seconds,
                   sorted(os.listdir(tmp_path / "bin")),
                   log.read_text().splitlines() if log.exists() else [])
    return env, run


def lines(text, **values):
    """Expected standard error: one pattern a line, with values filled in
    and <curl> standing for curl's own words."""
    return [re.escape(line.format(**values)).replace(re.escape("<curl>"), "curl: .+")
            for line in text.strip("\n").split("\n")] if text.strip() else []


def assert_lines(stderr, patterns):
    got = stderr.splitlines()
    assert len(got) == len(patterns) and all(re.fullmatch(p, g) for p, g in zip(patterns, got)), \
        stderr


TOO_OLD = ("start: yt-dlp 2023.03.04 is too old: " + NEEDED +
           "; put the current yt-dlp from https://github.com/yt-dlp/yt-dlp/releases in {bin}")
NO_DENO = ("start: deno is missing: " + NEEDED +
           "; put the current deno from https://github.com/denoland/deno/releases in {bin}")


def tamper_binary(release, keys, tmp_path):
    release.files["yt-dlp/" + ASSET] += b"echo pwned\n"


def tamper_sums(release, keys, tmp_path):
    sums = release.files["yt-dlp/SHA2-256SUMS"].decode()
    release.files["yt-dlp/SHA2-256SUMS"] = sums.replace(
        sha256(RELEASED_YTDLP.encode()), sha256(b"#!/bin/sh\necho pwned\n")).encode()


def sign_with_other_key(release, keys, tmp_path):
    sign(release, keys["other"][0], tmp_path)


def drop_asset_line(release, keys, tmp_path):
    sums = release.files["yt-dlp/SHA2-256SUMS"].decode().splitlines(keepends=True)
    release.files["yt-dlp/SHA2-256SUMS"] = "".join(
        line for line in sums if line.split()[1] != ASSET).encode()
    sign(release, keys["release"][0], tmp_path)


def truncate_binary(release, keys, tmp_path):
    release.truncated.add("yt-dlp/" + ASSET)


def tamper_deno_zip(release, keys, tmp_path):
    release.files["deno/" + DENO_ZIP] += b"\0"


@dataclass
class Case:
    name: str
    tamper: object  # tamper(release, keys, tmp_path), or None
    stderr: str  # lines; {bin}, {base}, {fpr} are filled in, <curl> is curl's message
    bin: list
    env: dict = field(default_factory=dict)


CASES = [
    Case("tampered binary", tamper_binary,
         f"start: {ASSET} does not match its SHA-256 (damaged or tampered); nothing installed\n"
         + TOO_OLD, []),
    Case("tampered sums file", tamper_sums,
         "start: SHA2-256SUMS has no good signature by yt-dlp's release key {fpr}; "
         "nothing installed\n" + TOO_OLD, []),
    Case("signed by another key", sign_with_other_key,
         "start: SHA2-256SUMS has no good signature by yt-dlp's release key {fpr}; "
         "nothing installed\n" + TOO_OLD, []),
    Case("no line for the asset", drop_asset_line,
         f"start: SHA2-256SUMS has no single line for {ASSET}; nothing installed\n" + TOO_OLD, []),
    Case("truncated download", truncate_binary,
         f"start: could not fetch {{base}}/yt-dlp/{ASSET}: <curl>\n" + TOO_OLD, []),
    Case("deno zip with a wrong hash", tamper_deno_zip,
         "start: installed yt-dlp 2025.11.12 in {bin}\n"
         f"start: {DENO_ZIP} does not match its SHA-256 (damaged or tampered); nothing installed\n"
         + NO_DENO, ["yt-dlp"]),
    Case("unreachable server", None,
         "start: could not fetch http://127.0.0.1:{closed}/yt-dlp/SHA2-256SUMS: <curl>\n" + TOO_OLD,
         [], {"FERNHOLLOW_YTDLP_RELEASES": "http://127.0.0.1:{closed}/yt-dlp",
              "FERNHOLLOW_DENO_RELEASES": "http://127.0.0.1:{closed}/deno"}),
    Case("server that never answers", None,
         "start: could not fetch http://127.0.0.1:{silent}/yt-dlp/SHA2-256SUMS: <curl>\n" + TOO_OLD,
         [], {"FERNHOLLOW_YTDLP_RELEASES": "http://127.0.0.1:{silent}/yt-dlp",
              "FERNHOLLOW_DENO_RELEASES": "http://127.0.0.1:{silent}/deno"}),
    Case("fetching turned off", None, TOO_OLD, [], {"FERNHOLLOW_NO_FETCH": "1"}),
    Case("a current yt-dlp without deno", None, "start: installed deno 2.5.0 in {bin}", ["deno"],
         {"PATH": "{tmp}/currentbin:/usr/bin:/bin"}),
]


@pytest.fixture
def ports():
    """A port where nothing listens, and one that takes connections and
    never answers."""
    with socket.socket() as closed, socket.socket() as silent:
        closed.bind(("127.0.0.1", 0))
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        yield {"closed": closed.getsockname()[1], "silent": silent.getsockname()[1]}


@pytest.mark.skipif(not ARCH, reason=f"no yt-dlp or deno release for {platform.machine()}")
@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_each_fetch_outcome_then_the_program_starts(checkout, keys, server, ports, tmp_path,
                                                    case):
    base, serve, requests = server
    release = good_release(keys, tmp_path)
    if case.tamper:
        case.tamper(release, keys, tmp_path)
    serve(release)
    env, run = user(tmp_path, base)
    values = dict(bin=env["FERNHOLLOW_BIN"], base=base, fpr=keys["release"][1], tmp=tmp_path,
                  **ports)
    env.update({k: v.format(**values) for k, v in case.env.items()})

    r = run(checkout)
    assert_lines(r.stderr, lines(case.stderr, **values))
    assert (r.stdout, r.status) == (P, 0)  # the program started, and ended with the input
    assert r.bin == case.bin
    assert r.seconds < 10 + 5  # at most about 10 s lost to fetching, plus the build
    if "FERNHOLLOW_NO_FETCH" in case.env:
        assert requests == []


@pytest.mark.skipif(not ARCH, reason=f"no yt-dlp or deno release for {platform.machine()}")
@pytest.mark.parametrize("shell", SHELLS)
def test_fetch_install_and_the_programs_path(checkout, keys, server, tmp_path, shell):
    """Under each shell that may be /bin/sh: both tools are installed
    whole, the program finds them first on its PATH, a second run fetches
    nothing, and a day later yt-dlp updates itself once."""
    if not os.path.exists(SHELLS[shell]):
        pytest.fail(f"{SHELLS[shell]} is missing (Debian: apt-get install {SHELL_PACKAGES})")
    argv = [SHELLS[shell], "sh"] if shell == "busybox sh" else [SHELLS[shell]]
    base, serve, requests = server
    serve(good_release(keys, tmp_path))
    env, run = user(tmp_path, base)
    bin = env["FERNHOLLOW_BIN"]

    r = run(checkout, "https://youtu.be/aaaa\n", argv)
    assert_lines(r.stderr, lines("start: installed yt-dlp 2025.11.12 in {bin}\n"
                                 "start: installed deno 2.5.0 in {bin}", bin=bin))
    assert (r.stdout, r.status) == (P + "\n" + P, 0)
    assert r.bin == ["deno", "yt-dlp"]
    assert all(os.access(os.path.join(bin, tool), os.X_OK) for tool in r.bin)
    assert (tmp_path / "bin/yt-dlp").read_text() == RELEASED_YTDLP
    assert r.tools_log == [f"yt-dlp={bin}/yt-dlp deno={bin}/deno "
                           "deno 2.5.0 (stable, release, x86_64-unknown-linux-gnu)"]

    fetched = len(requests)
    again = run(checkout, "", argv)
    assert (again.stderr, again.stdout, again.status, again.bin) == ("", P, 0, r.bin)
    assert len(requests) == fetched
    assert again.tools_log == r.tools_log  # no update within a day

    mark = tmp_path / "home/.local/state/fernhollow_tracks/yt-dlp-fetched"
    day_ago = time.time() - 25 * 3600
    os.utime(mark, (day_ago, day_ago))
    later = run(checkout, "", argv)
    assert (later.stderr, later.status) == ("start: updating yt-dlp (once a day)\n", 0)
    assert later.tools_log == r.tools_log + ["update"]
    assert len(requests) == fetched


def test_without_apt_get_start_names_what_is_missing(checkout, keys, server, tmp_path):
    """On a system without apt-get, a missing curl is named with what it is
    for, and the program still starts."""
    base, serve, requests = server
    serve(good_release(keys, tmp_path))
    env, run = user(tmp_path, base)
    system = tmp_path / "system"
    system.mkdir()
    for folder in ("/usr/bin", "/bin", "/usr/sbin", "/sbin"):
        for name in os.listdir(folder):
            if name not in ("curl", "apt-get") and not (system / name).exists():
                (system / name).symlink_to(os.path.join(folder, name))
    env["PATH"] = env["PATH"].split(":")[0] + f":{system}"

    r = run(checkout)
    assert_lines(r.stderr, lines(
        "start: missing: curl (fetches yt-dlp and deno over HTTPS); "
        "install them with this system's package manager\n" + TOO_OLD, bin=env["FERNHOLLOW_BIN"]))
    assert (r.stdout, r.status, r.bin, requests) == (P, 0, [], [])


def sourced(command, path=None):
    """Runs command in sh after sourcing the checkout's set-up routines,
    with path, if given, first on PATH."""
    return subprocess.run(["sh", "-c", 'here=$1 me=test; . "$here/setup/common.sh"; ' + command,
                           "sh", CHECKOUT], capture_output=True, text=True,
                          env=dict(os.environ, PATH=f"{path}:/usr/bin:/bin" if path else "/usr/bin:/bin"))


GATES = [("yt-dlp", "2023.03.04", False), ("yt-dlp", "2025.10.22", False),
         ("yt-dlp", "2025.11.12", True), ("yt-dlp", "2025.11.12.232010", True),
         ("yt-dlp", "2026.01.02", True), ("yt-dlp", "Usage: yt-dlp [OPTIONS] URL", False),
         ("deno", "deno 1.46.3 (stable, release, x86_64-unknown-linux-gnu)", False),
         ("deno", "deno 2.2.15 (stable, release, x86_64-unknown-linux-gnu)", False),
         ("deno", "deno 2.3.0 (stable, release, x86_64-unknown-linux-gnu)", True),
         ("deno", "deno 10.0.1 (stable, release, x86_64-unknown-linux-gnu)", True)]


@pytest.mark.parametrize("tool,says,accepted", GATES, ids=[f"{t}: {s}" for t, s, _ in GATES])
def test_version_gates(tmp_path, tool, says, accepted):
    script(tmp_path / tool, f"#!/bin/sh\necho '{says}'\n")
    check = {"yt-dlp": "ytdlp_current", "deno": "deno_current"}[tool]
    assert (sourced(check, tmp_path).returncode == 0) == accepted


def test_a_real_deno_from_npm_passes_the_gate(tmp_path):
    """The npm package deno carries the real binary."""
    if not shutil.which("npm"):
        pytest.fail("npm is missing (Debian: apt-get install npm)")
    p = subprocess.run(["npm", "install", "--prefix", str(tmp_path), "--no-audit", "--no-fund",
                        "deno"], capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stderr
    found = sourced('deno_current && echo "$deno_current_version"', tmp_path / "node_modules/.bin")
    assert found.returncode == 0, found.stderr
    assert re.fullmatch(r"\d+\.\d+\.\d+\n", found.stdout)


def test_the_shipped_key_is_the_pinned_one(tmp_path):
    """The key in the tree, as start hands it to gpgv, is yt-dlp's release
    key with the pinned fingerprint."""
    packets = tmp_path / "key.gpg"
    made = sourced(f'key_packets "$YTDLP_KEY" >{packets} && echo "$YTDLP_KEY_FINGERPRINT"')
    assert made.stdout == SHIPPED_FINGERPRINT + "\n", made.stderr
    (tmp_path / "gnupg").mkdir(mode=0o700)
    shown = gpg(tmp_path / "gnupg", "--with-colons", "--show-keys", str(packets), text=True).stdout
    assert re.findall(r"^fpr:+([0-9A-F]{40}):", shown, re.M)[0] == SHIPPED_FINGERPRINT

"""Runs the built program as a user does: bytes on standard input; standard
output, standard error, exit status and the stand-in downloader's record of
its arguments out.

FT_PROGRAM names the program, FT_STANDIN_DIR the folder of the stand-in
yt-dlp; FT_WINE, when set, names wine, which then runs a Windows build.

as_sh(shell) gives the command that runs a program with that shell at
/bin/sh, for that run only."""

import functools
import os
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass

import pytest

PROGRAM = os.environ.get("FT_PROGRAM", "")
STANDIN_DIR = os.environ.get("FT_STANDIN_DIR", "")
WINE = os.environ.get("FT_WINE", "")
PLATFORM = "windows" if WINE else "linux"
# wine maps each new Windows process's shared data at the fixed address
# 0x7ffe0000.  Its loader sits just below, and the kernel starts the
# loader's heap at a random place up to 1 GiB above it: about once in a
# couple of thousand starts the heap covers that address and the process
# never starts, so cmd.exe or the stand-in silently does not run.  Without
# address randomisation, wine and every process it starts keep the heap
# right after the loader.
WINE_RUN = ["setarch", "-R", WINE]


def pytest_sessionfinish(session, exitstatus):
    """Ends with 77, which CTest reports as skipped, when every test was
    skipped: a run that checked nothing must not count as passed."""
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int
    runs: list  # one list of arguments for each downloader run
    files: list  # what the working folder holds afterwards

    def outcome(self):
        """Everything a case compares, in one value, so that a failure shows
        the whole of it at once."""
        return {"stdout": self.stdout.decode("latin-1").split("\n"),
                "stderr": self.stderr.decode("latin-1").split("\n"),
                "status": self.status, "runs": self.runs, "files": self.files}


def read_runs(log):
    if not os.path.exists(log):
        return []
    with open(log, "rb") as f:
        records = f.read().split(b"\n")
    assert records[-1] == b"", "the last run record is cut short"
    return [record.split(b"\0")[:-1] for record in records[:-1]]


@pytest.fixture(scope="session")
def wine_env(tmp_path_factory):
    """A throw-away wine prefix for the session, its server kept running."""
    if not WINE:
        yield None
        return
    env = dict(os.environ, WINEPREFIX=str(tmp_path_factory.mktemp("wineprefix")),
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
    subprocess.run([wineserver, "-p"], env=env, check=True)
    subprocess.run([*WINE_RUN, "wineboot", "-i"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield env
    finally:
        subprocess.run([wineserver, "-k"], env=env)


# The shells that may be /bin/sh, by the name tests print.
SHELLS = {"dash": "/bin/dash", "bash": "/bin/bash", "busybox sh": "/bin/busybox",
          "mksh": "/bin/mksh", "zsh": "/bin/zsh", "posh": "/bin/posh", "ksh93": "/bin/ksh93"}
SHELL_PACKAGES = "busybox mksh zsh posh ksh"


@functools.lru_cache(maxsize=None)
def private_mounts_refused():
    """Why unshare cannot make a mount namespace whose mounts stay private,
    or "" where it can.  In a chroot, whose root is no mount point, it
    cannot."""
    p = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                       capture_output=True, text=True)
    if p.returncode == 0:
        return ""
    return p.stderr.strip() or f"unshare exited with {p.returncode}"


def as_sh(shell):
    """The argv prefix that runs a program with SHELLS[shell] at /bin/sh."""
    if not os.path.exists(SHELLS[shell]):
        unable(f"{SHELLS[shell]} is missing (Debian: apt-get install {SHELL_PACKAGES})")
    return bound_over_sh(SHELLS[shell])


def bound_over_sh(path):
    """The argv prefix that runs a program with the file at path bound over
    /bin/sh in a mount namespace of its own, so nothing else on the machine
    sees it.  unshare and sh both exec, so the program keeps the process
    that the caller started.  Needs root."""
    if os.geteuid() != 0:
        unable("putting another file at /bin/sh needs root (unshare -m, mount --bind)")
    if private_mounts_refused():
        unable("no private mount namespace here, so nothing can be put at /bin/sh "
               f"without the whole machine seeing it: {private_mounts_refused()}")
    return ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
            'mount --bind "$1" /bin/sh && shift && exec "$@"', "sh", path]


def unable(why):
    """Skips a test that this machine cannot run, with the reason; under CI,
    which must run them all, fails it instead."""
    if os.environ.get("CI"):
        pytest.fail(why)
    pytest.skip(why)


def ctrl_c_during(argv, stdin, started, settle, **popen):
    """Starts argv in a session of its own, types stdin, waits until
    started() is true, then settle seconds, and sends Ctrl-C to the whole
    process group as a terminal does.  Returns (stdout, stderr, status)."""
    p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, start_new_session=True, **popen)
    try:
        p.stdin.write(stdin)
        p.stdin.flush()
        deadline = time.monotonic() + 60
        while not started() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert started(), "what was to be interrupted never started"
        time.sleep(settle)
        os.killpg(p.pid, signal.SIGINT)
        out, err = p.communicate(timeout=30)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
    return out, err, p.returncode


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@pytest.fixture
def console(tmp_path, wine_env):
    """console(stdin, standin=True, wrap=(), extra_env=None) runs the program
    once, after the command wrap and with extra_env added to its
    environment, in a fresh working folder that holds one file,
    existing.webm, and returns a Result."""
    def run(stdin, standin=True, timeout=600, wrap=(), extra_env=None):
        cwd = tmp_path / "cwd"
        cwd.mkdir()
        (cwd / "existing.webm").write_bytes(b"")
        log = str(tmp_path / "runs.log")
        # Without the stand-in, the search path is one empty folder.
        search = STANDIN_DIR
        if not standin:
            search = str(tmp_path / "empty")
            os.mkdir(search)
        if WINE:
            env = dict(wine_env, STANDIN_LOG=log, WINEPATH=windows_path(search))
            argv = [*WINE_RUN, PROGRAM]
        else:
            env = dict(os.environ, STANDIN_LOG=log,
                       PATH=search + os.pathsep + os.environ["PATH"] if standin else search)
            argv = [*wrap, PROGRAM]
        env.update(extra_env or {})
        p = subprocess.run(argv, input=stdin, capture_output=True, cwd=cwd,
                           env=env, timeout=timeout)
        out, err = p.stdout, p.stderr
        if WINE:
            out, err = out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")
        return Result(out, err, p.returncode, read_runs(log), sorted(os.listdir(cwd)))
    return run

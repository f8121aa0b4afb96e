"""Downloads with the real yt-dlp from a small HTTP server on 127.0.0.1.

yt-dlp's generic extractor reads a DASH manifest; an audio Representation
with id="251" is the stream that "-f 251" selects, and the file is named
from the manifest's URL: /Evening%20Song.mpd is saved as Evening Song.webm.

FT_PROGRAM names the program, FT_YTDLP the real yt-dlp, FT_START the
script that builds and starts the program."""

import functools
import os
import signal
import subprocess
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import as_sh, ctrl_c_during

PROGRAM = os.environ.get("FT_PROGRAM", "")
YTDLP = os.environ.get("FT_YTDLP", "")
START = os.environ.get("FT_START", "")

MANIFEST = """<?xml version="1.0" encoding="UTF-8"?>
<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"
     mediaPresentationDuration="PT2S" minBufferTime="PT1S">
  <Period>
    <AdaptationSet mimeType="audio/webm">
      <Representation id="{id}" codecs="opus" bandwidth="160000" audioSamplingRate="48000">
        <BaseURL>{media}</BaseURL>
      </Representation>
    </AdaptationSet>
  </Period>
</MPD>
"""


@pytest.fixture
def server(tmp_path):
    """Serves tmp_path/site on a free port of 127.0.0.1; yields (base URL,
    media bytes by name, the request paths seen).  The media of "Slow Song"
    trickles out at 2 KiB a tenth of a second, so a download of it can be
    interrupted."""
    site = tmp_path / "site"
    site.mkdir()
    media = {}
    for title, stream in [("Evening Song", "251"), ("Morning Song", "251"),
                          ("Night Song", "251"), ("No Opus", "140"), ("Slow Song", "251")]:
        name = title.replace(" ", "-") + ".webm"
        media[title] = os.urandom(400000 if title == "Slow Song" else 20000)
        (site / name).write_bytes(media[title])
        (site / (title + ".mpd")).write_text(MANIFEST.format(id=stream, media=name))

    requests = []

    class Handler(SimpleHTTPRequestHandler):
        def log_message(self, format, *args):
            requests.append(self.path)

        def do_GET(self):
            if not self.path.startswith("/Slow-Song.webm"):
                return super().do_GET()
            body = media["Slow Song"]
            self.send_response(200)
            self.send_header("Content-Type", "audio/webm")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                for at in range(0, len(body), 2048):
                    self.wfile.write(body[at:at + 2048])
                    time.sleep(0.1)
            except OSError:
                pass  # the downloader is gone

    httpd = ThreadingHTTPServer(("127.0.0.1", 0),
                                functools.partial(Handler, directory=str(site)))
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{httpd.server_address[1]}", media, requests
    finally:
        httpd.shutdown()
        httpd.server_close()


def user_env(tmp_path):
    """The real yt-dlp first on the path, and no settings of this machine's
    user or proxies in the way."""
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
               XDG_CACHE_HOME=str(home / ".cache"),
               PATH=os.path.dirname(YTDLP) + os.pathsep + os.environ["PATH"])
    return env


def downloads(cwd):
    folder = cwd / "fernhollow_tracks"
    return {p.name: p.read_bytes() for p in folder.iterdir()} if folder.exists() else {}


def test_real_downloads_errors_and_exit_status(server, tmp_path):
    base, media, requests = server
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    query = "/Evening%20Song.mpd?list=PL1&t=42s&q=a?b"
    links = [base + query,
             base + "/Morning%20Song.mpd",
             base + "/No%20Opus.mpd",
             base + "/gone.mpd",
             base + "/Night%20Song.mpd"]
    p = subprocess.run([PROGRAM], input="\n".join(links).encode() + b"\n",
                       capture_output=True, cwd=cwd, env=user_env(tmp_path), timeout=300)
    out, err = p.stdout.decode(), p.stderr.decode()

    assert downloads(cwd) == {"Evening Song.webm": media["Evening Song"],
                              "Morning Song.webm": media["Morning Song"],
                              "Night Song.webm": media["Night Song"]}, out + err
    assert query in requests
    assert "ERROR: [generic] No Opus: Requested format is not available" in err
    assert "HTTP Error 404" in err
    # Each link has its prompt, and the one after the two errors still downloads.
    cycles = out.split("Enter youtube link : \n")
    assert len(cycles) == len(links) + 2 and cycles[0] == "" and cycles[-1] == ""
    assert "Destination: ./fernhollow_tracks/Night Song.webm" in cycles[5]
    assert p.returncode == 1


def test_start_script_downloads_into_the_current_folder(server, tmp_path):
    base, media, _ = server
    cwd = tmp_path / "somewhere"
    cwd.mkdir()
    # Debian's yt-dlp serves here; start is told not to fetch a newer one.
    env = dict(user_env(tmp_path), FERNHOLLOW_NO_FETCH="1", FERNHOLLOW_BIN=str(tmp_path / "bin"))
    p = subprocess.run(["sh", START], input=(base + "/Evening%20Song.mpd\n").encode(),
                       capture_output=True, cwd=cwd, env=env, timeout=600)
    assert downloads(cwd) == {"Evening Song.webm": media["Evening Song"]}, p.stderr.decode()
    assert p.returncode == 0


@pytest.mark.parametrize("shell", ["dash", "bash"])
def test_ctrl_c_during_a_download_ends_the_program(server, tmp_path, shell):
    """Ctrl-C, sent to the process group as a terminal does, while the
    first of two links downloads: yt-dlp stops, and so does the program,
    by the signal, before the second link.  bash execs yt-dlp, which
    catches Ctrl-C and exits with 1."""
    base, _, requests = server
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    out, err, status = ctrl_c_during(
        [*as_sh(shell), PROGRAM], f"{base}/Slow%20Song.mpd {base}/Evening%20Song.mpd\n".encode(),
        lambda: "/Slow-Song.webm" in requests, 0.5, cwd=cwd, env=user_env(tmp_path))
    assert status == -signal.SIGINT, err.decode()
    assert "ERROR: Interrupted by user" in err.decode()
    assert out.decode().count("Enter youtube link : ") == 1
    assert not any(path.startswith("/Evening") for path in requests)

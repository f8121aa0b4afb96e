"""Runs the built program as a user does: bytes on standard input; standard
output, standard error, exit status and the stand-in downloader's record of
its arguments out.

FT_PROGRAM names the program, FT_STANDIN_DIR the folder of the stand-in
yt-dlp; FT_WINE, when set, names wine, which then runs a Windows build."""

import os
import shutil
import subprocess
from dataclasses import dataclass

import pytest

PROGRAM = os.environ.get("FT_PROGRAM", "")
STANDIN_DIR = os.environ.get("FT_STANDIN_DIR", "")
WINE = os.environ.get("FT_WINE", "")
PLATFORM = "windows" if WINE else "linux"


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int
    runs: list  # one list of arguments for each downloader run
    files: list  # what the working folder holds afterwards


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
    subprocess.run([WINE, "wineboot", "-i"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield env
    finally:
        subprocess.run([wineserver, "-k"], env=env)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@pytest.fixture
def console(tmp_path, wine_env):
    """console(stdin, standin=True) runs the program once in a fresh working
    folder that holds one file, existing.webm, and returns a Result."""
    def run(stdin, standin=True, timeout=600):
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
            argv = [WINE, PROGRAM]
        else:
            env = dict(os.environ, STANDIN_LOG=log,
                       PATH=search + os.pathsep + os.environ["PATH"] if standin else search)
            argv = [PROGRAM]
        p = subprocess.run(argv, input=stdin, capture_output=True, cwd=cwd,
                           env=env, timeout=timeout)
        out, err = p.stdout, p.stderr
        if WINE:
            out, err = out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")
        return Result(out, err, p.returncode, read_runs(log), sorted(os.listdir(cwd)))
    return run

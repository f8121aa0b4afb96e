"""Benchmark: N links through fernhollow_tracks against the same N runs of
the stand-in yt-dlp started through sh -c one after another.

    /usr/bin/python3 bench/bench.py [N] [BUILD_DIR]

N defaults to 2000, BUILD_DIR to build.  Prints both times, their ratio,
and the program's peak resident memory after N/10 and after N links."""

import os
import subprocess
import sys
import tempfile
import time

n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
build = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "build")
program = os.path.join(build, "fernhollow_tracks")
env = dict(os.environ, PATH=os.path.join(build, "standin") + os.pathsep + os.environ["PATH"])
env.pop("STANDIN_LOG", None)
links = [f"https://www.youtube.com/watch?v=bench{i:07d}" for i in range(n)]
PROMPT = b"Enter youtube link : \n"


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def through_program(cwd):
    """Runs every link; returns seconds and the peak memory at N/10 and N."""
    p = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         cwd=cwd, env=env)
    peaks = []
    start = time.perf_counter()
    for part in (links[:n // 10], links[n // 10:]):
        p.stdin.write("".join(link + "\n" for link in part).encode())
        p.stdin.flush()
        seen = b""
        while seen.count(PROMPT) < len(part) + (0 if peaks else 1):
            seen += p.stdout.read1(65536)
        peaks.append(peak_kib(p.pid))
    seconds = time.perf_counter() - start
    p.stdin.close()
    p.stdout.read()
    assert p.wait() == 0
    return seconds, peaks


def through_sh(cwd):
    start = time.perf_counter()
    for link in links:
        subprocess.run(["sh", "-c", 'yt-dlp --output "./fernhollow_tracks/%(title)s.%(ext)s"'
                        f' -f 251 -- "{link}"'], stdout=subprocess.DEVNULL, cwd=cwd, env=env,
                       check=True)
    return time.perf_counter() - start


with tempfile.TemporaryDirectory() as cwd:
    program_seconds, (peak_tenth, peak_all) = through_program(cwd)
    sh_seconds = through_sh(cwd)

print(f"links:                      {n}")
print(f"fernhollow_tracks:          {program_seconds:.3f} s")
print(f"sh -c, one after another:   {sh_seconds:.3f} s")
print(f"ratio:                      {program_seconds / sh_seconds:.3f} (target at most 1.1)")
print(f"peak memory after {n // 10:>5} links: {peak_tenth} KiB")
print(f"peak memory after {n:>5} links: {peak_all} KiB")

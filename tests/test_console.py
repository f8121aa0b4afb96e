"""The console dialogue, end to end: each case types its input into the
built program and compares the whole transcript (standard output and
standard error), the exit status, and every byte of every argument that
reached the stand-in downloader."""

import os
import random
import signal
import time
from dataclasses import dataclass, field

import pytest

from conftest import PLATFORM, PROGRAM, STANDIN_DIR, WINE, Result, bound_over_sh, ctrl_c_during

P = b"Enter youtube link : "
OUTPUT = {"linux": b"./fernhollow_tracks/%(title)s.%(ext)s",
          "windows": b".\\fernhollow_tracks\\%(title)s.%(ext)s"}[PLATFORM]
REFUSED = b"fernhollow_tracks: link refused: "
TOO_LONG = REFUSED + b"it is longer than 934 characters"
ZERO_BYTE = REFUSED + b"it holds a zero byte"
DOUBLE_QUOTE = REFUSED + b"it holds a double quote"


def text(*lines):
    return b"".join(line + b"\n" for line in lines)


def dl(link):
    """What the stand-in prints for a link it was given."""
    return b"[download] " + link


def args(link):
    return [b"--output", OUTPUT, b"-f", b"251", b"--", link]


def expected(stdout, stderr, status, links):
    """The outcome of a session that printed these lines and ran these
    links, with nothing new in the working folder."""
    return Result(text(*stdout), text(*stderr), status, [args(link) for link in links],
                  ["existing.webm"]).outcome()


def missing(link):
    """The command processor's complaint when yt-dlp is not on the path."""
    if PLATFORM == "linux":
        return b"sh: 1: yt-dlp: not found"
    # wine's cmd; Windows itself says "'yt-dlp' is not recognized as ...".
    return (b"Can't recognize 'yt-dlp --output \"" + OUTPUT + b"\" -f 251 -- \""
            + link + b"\"' as an internal or external command, or batch script.")


@dataclass
class Case:
    name: str
    stdin: bytes
    links: list  # the links that reach the downloader, in order
    stdout: list  # lines
    stderr: list = field(default_factory=list)
    status: int = 0
    standin: bool = True  # the stand-in yt-dlp is on the path


def per_platform(linux, windows):
    return {"linux": linux, "windows": windows}[PLATFORM]


A, B, C = b"https://youtu.be/aaaa", b"https://youtu.be/bbbb", b"https://youtu.be/cccc"
LONGEST = b"https://youtu.be/" + b"a" * 917
BACKSLASHES = b"\\" * 934  # each one escaped: the longest command there is

CASES = [
    # The dialogue as a user meets it.
    Case("one link", A + b"\n", [A], [P, dl(A), b"", P]),
    Case("no input at all", b"", [], [P]),
    Case("blank lines write no prompt", b"\n\n \n" + A + b"\n\n\n", [A], [P, dl(A), b"", P]),
    Case("blanks and tabs around a link", b" \t " + A + b"\t \n", [A], [P, dl(A), b"", P]),
    Case("two links on one line", A + b" " + B + b"\n", [A, B],
         [P, dl(A), b"", P, dl(B), b"", P]),
    Case("several lines in one go", A + b"\n" + B + b"\n" + C + b"\n", [A, B, C],
         [P, dl(A), b"", P, dl(B), b"", P, dl(C), b"", P]),
    Case("last link without a line end", A, [A], [P, dl(A), b"", P]),
    Case("Windows line ends", A + b"\r\n" + B + b"\r\n", [A, B],
         [P, dl(A), b"", P, dl(B), b"", P]),
    Case("link with & ? =", b"https://www.youtube.com/watch?v=a-b_c&list=PL1&t=42s\n",
         [b"https://www.youtube.com/watch?v=a-b_c&list=PL1&t=42s"],
         [P, dl(b"https://www.youtube.com/watch?v=a-b_c&list=PL1&t=42s"), b"", P]),
    Case("longest accepted link", LONGEST + b"\n", [LONGEST], [P, dl(LONGEST), b"", P]),
    Case("longest link, every byte escaped", BACKSLASHES + b"\n", [BACKSLASHES],
         [P, dl(BACKSLASHES), b"", P]),
    Case("downloader missing from the path", A + b"\n" + B + b"\n", [],
         [P, b"", P, b"", P], [missing(A), missing(B)], 1, standin=False),
    Case("a failed run sets the exit status", b"https://youtu.be/fail " + A + b"\n", [b"https://youtu.be/fail", A],
         [P, b"", P, dl(A), b"", P],
         [b"ERROR: [generic] https://youtu.be/fail: unable to download"], 1),

    # Links that look like options reach the downloader as links.
    Case("option-like links", b"-x --batch-file=- " + A + b"\n", [b"-x", b"--batch-file=-", A],
         [P, dl(b"-x"), b"", P, dl(b"--batch-file=-"), b"", P, dl(A), b"", P]),

    # Too long: refused once, consumed whole, the next link runs.
    Case("935 characters", LONGEST + b"a " + A + b"\n", [A],
         [P, P, dl(A), b"", P], [TOO_LONG], 1),
    Case("5000 characters", b"x" * 5000 + b"\n" + A + b"\n", [A],
         [P, P, dl(A), b"", P], [TOO_LONG], 1),
    Case("too long at the end of input", b"x" * 2000, [], [P, P], [TOO_LONG], 1),

    # Bytes the command line cannot carry.
    Case("zero byte", b"https://youtu.be/a\0b " + A + b"\n", [A],
         [P, P, dl(A), b"", P], [ZERO_BYTE], 1),
    # Windows reads Ctrl-Z as the end of input.
    Case("Ctrl-Z", A + b"\x1a " + B + b"\n", per_platform([A + b"\x1a", B], [A]),
         per_platform([P, dl(A + b"\x1a"), b"", P, dl(B), b"", P], [P, dl(A), b"", P])),
]

# Text the command processor would act on if it ever saw it outside quotes,
# with what each platform does with it.  Nothing may run, expand or glob:
# the working folder must hold only existing.webm afterwards.
INTACT, QUOTE = "intact", "quote"
HOSTILE = [
    (b"$(touch${IFS}pwned)", INTACT, INTACT),
    (b"`touch${IFS}pwned`", INTACT, INTACT),
    (b"$HOME${PATH}$0$$", INTACT, INTACT),
    (b"'single'quotes'", INTACT, INTACT),
    (b"*", INTACT, INTACT),
    (b'"*"', INTACT, QUOTE),
    (b'";touch${IFS}pwned;"', INTACT, QUOTE),
    (b'\\";touch${IFS}pwned;\\"', INTACT, QUOTE),
    (b"x&echo.>pwned&|^()<>!PATH!;", INTACT, INTACT),
    (b"https://x.test/%20a%3D%3D?q=%25x", INTACT, INTACT),
    (b"https://x.test/%zz%/100%", INTACT, INTACT),
    (b"https://x.test/dir\\", INTACT, INTACT),
    (b"dir\\\\\\", INTACT, INTACT),
    (b"https://x.test/\xc3\xa9t\xe9\x80\xff\x01\x7f", INTACT, INTACT),
    # In Big5, GBK, GB18030 and Shift-JIS a byte from 0x81 up followed by \
    # or ` is one character to bash and ksh93: a backslash that should
    # escape the next byte would be swallowed.
    (b"\xa4`touch${IFS}pwned;\xa4`", INTACT, INTACT),
    (b"\x81\\$(touch${IFS}pwned)\xfe\\", INTACT, INTACT),
    (b"\x95\\'\xe0'\\;touch${IFS}pwned;'", INTACT, INTACT),
    # In GB18030 such a byte and a digit start a four-byte character.
    (b"x\x9d7", INTACT, INTACT),
    (b"\x817'\x817'$(touch${IFS}pwned)\x817", INTACT, INTACT),
]
for link, linux, windows in HOSTILE:
    outcome = per_platform(linux, windows)
    if outcome == INTACT:
        CASES.append(Case("hostile " + repr(link), link + b" " + A + b"\n", [link, A],
                          [P, dl(link), b"", P, dl(A), b"", P]))
    else:
        CASES.append(Case("hostile " + repr(link), link + b" " + A + b"\n", [A],
                          [P, P, dl(A), b"", P], [DOUBLE_QUOTE], 1))

# References cmd.exe expands even between double quotes, each with the
# part that Windows names in its refusal.
CMD_REFERENCES = [(b"%PATH%", b"%PATH%"), (b"%path:~0,3%", b"%path:~0,3%"), (b"%CD%", b"%CD%"),
                  (b"%RANDOM%", b"%RANDOM%"), (b"%PATH:a=b%", b"%PATH:a=b%"),
                  (b"%=ExitCode%", b"%=ExitCode%"), (b"x%20%PATH%", b"%PATH%"),
                  (b"%SystemRoot%\\x", b"%SystemRoot%")]
LINKS = [link for link, _ in CMD_REFERENCES]
CASES.append(Case(
    "cmd variable references", b" ".join(LINKS) + b"\n",
    per_platform(LINKS, []),
    per_platform([P] + [line for link in LINKS for line in (dl(link), b"", P)],
                 [P] * (len(LINKS) + 1)),
    per_platform([], [REFUSED + b"cmd.exe would expand " + ref for _, ref in CMD_REFERENCES]),
    per_platform(0, 1)))


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_console(console, case):
    r = console(case.stdin, standin=case.standin)
    assert r.outcome() == expected(case.stdout, case.stderr, case.status, case.links)


def test_command_processor_that_cannot_start(console, tmp_path):
    """Each link then fails with one line that says why, and the next one is
    still taken."""
    if PLATFORM == "linux":
        not_a_shell = tmp_path / "not-a-shell"
        not_a_shell.write_bytes(b"")
        not_a_shell.chmod(0o644)
        r = console(A + b" " + B + b"\n", wrap=bound_over_sh(str(not_a_shell)))
        why = b"fernhollow_tracks: cannot run /bin/sh: Permission denied"
    else:
        r = console(A + b" " + B + b"\n", extra_env={"WINEDLLOVERRIDES": "cmd.exe=d"})
        why = b"fernhollow_tracks: cannot run cmd.exe: Invalid argument"  # as wine says it
    assert r.outcome() == expected([P, b"", P, b"", P], [why, why], 1, [])


HOSTILE_PIECES = [b'"', b"'", b"$", b"`", b"\\", b"%", b"!", b"^", b"&", b"|", b";", b"*",
                  b"-", b"%PATH%", b"%CD%", b"$(touch${IFS}pwned)", b";touch${IFS}pwned;",
                  b"`touch${IFS}pwned`", b"&echo.>pwned&", b'"&echo.>pwned&"']


SHELL_METACHARACTERS = b"\\`$\"'|&;<>()*?[]~#=%!{}^"


def random_token(rng):
    """Any bytes but white space (and, on Windows, Ctrl-Z, the end of input),
    mixed with pieces of command syntax and with lead bytes of double-byte
    encodings put before a shell metacharacter."""
    excluded = b" \t\n\v\f\r" + (b"\x1a" if WINE else b"")
    alphabet = [bytes([b]) for b in range(1, 256) if b not in excluded]
    size = rng.choice([rng.randint(1, 40), rng.randint(1, 934)])
    token = b""
    while len(token) < size:
        draw = rng.random()
        if draw < 0.2:
            token += rng.choice(HOSTILE_PIECES)
        elif draw < 0.4:
            token += bytes([rng.randint(0x81, 0xFE), rng.choice(SHELL_METACHARACTERS)])
        else:
            token += rng.choice(alphabet)
    return token[:size]


def check_random_tokens(console, count, wrap=(), extra_env=None):
    """Sends count random tokens in one session: each arrives intact or, on
    Windows, is refused; nothing else runs."""
    seed = int(os.environ.get("FT_SEED", time.time_ns() % 1000000))
    rng = random.Random(seed)
    tokens = [random_token(rng) for _ in range(count)]
    r = console(b"\n".join(tokens) + b"\n", wrap=wrap, extra_env=extra_env)
    note = f"FT_SEED={seed}"

    assert all(run[:-1] == args(b"")[:-1] for run in r.runs), note
    arrived = [run[-1] for run in r.runs]
    refused = [t for t in tokens if t not in arrived]
    if PLATFORM == "linux":
        assert arrived == tokens, note
    else:
        # Whatever does not arrive is refused, never altered: the links that
        # arrived are the tokens in order, less some holding " or %.
        assert arrived == [t for t in tokens if t not in refused], note
        assert all(b'"' in t or b"%" in t for t in refused), note
        assert all(t in refused for t in tokens if b'"' in t), note
    assert len(r.stderr.splitlines()) == len(refused), note
    assert r.status == (1 if refused else 0), note
    assert r.files == ["existing.webm"], note


def test_random_tokens_arrive_intact_or_are_refused(console):
    check_random_tokens(console, 300 if WINE else 1000)


# A downloader that dies of Ctrl-C, and one that catches it and exits 1 as
# the real yt-dlp does: (link, what it prints on standard error).
INTERRUPTED = {"dies": (b"https://youtu.be/sleep", b""),
               "catches": (b"https://youtu.be/sleep-catch", b"ERROR: Interrupted by user\n")}


def check_ctrl_c(tmp_path, standin, wrap=()):
    """Ctrl-C, sent to the whole process group as a terminal does, while the
    first of two links downloads: the program ends by it, and the second
    link never runs."""
    link, stderr = INTERRUPTED[standin]
    log = tmp_path / "runs.log"
    env = dict(os.environ, STANDIN_LOG=str(log),
               PATH=STANDIN_DIR + os.pathsep + os.environ["PATH"])
    # The stand-in is asleep once it has written its record.
    out, err, status = ctrl_c_during([*wrap, PROGRAM], link + b" " + A + b"\n", log.exists, 0.2,
                                     cwd=tmp_path, env=env)
    assert (out, err) == (text(P), stderr)
    assert status == -signal.SIGINT
    assert log.read_bytes().count(b"\n") == 1  # the second link never ran


@pytest.mark.skipif(bool(WINE), reason="Ctrl-C cannot be sent to a console under wine here; "
                    "on Windows it reaches every process of the console")
@pytest.mark.parametrize("standin", INTERRUPTED)
def test_ctrl_c_while_downloading_ends_the_program(tmp_path, standin):
    check_ctrl_c(tmp_path, standin)


@pytest.mark.skipif(bool(WINE), reason="Ctrl-C cannot be sent to a console under wine here")
def test_ctrl_c_at_the_prompt_after_a_download_ends_the_program(tmp_path):
    """The program records Ctrl-C only while a download runs; back at the
    prompt, Ctrl-C ends it at once."""
    log = tmp_path / "runs.log"
    env = dict(os.environ, STANDIN_LOG=str(log),
               PATH=STANDIN_DIR + os.pathsep + os.environ["PATH"])
    out, err, status = ctrl_c_during([PROGRAM], A + b"\n", log.exists, 0.5, cwd=tmp_path, env=env)
    assert (out, err, status) == (text(P, dl(A), b"", P), b"", -signal.SIGINT)

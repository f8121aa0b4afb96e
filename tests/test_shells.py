"""Links stay literal, and one Ctrl-C ends the program, whichever shell is
/bin/sh and whatever the locale's encoding.

Each run binds one shell over /bin/sh in a mount namespace of its own (see
as_sh), and runs under one locale compiled with localedef into a temporary
folder given as LOCPATH.  In the double-byte encodings a byte from 0x81 up
followed by \\ or ` is one character to bash and ksh93."""

import os
import subprocess

import pytest

from conftest import SHELLS, as_sh
from test_console import (HOSTILE, P, check_ctrl_c, check_random_tokens, dl, expected,
                          INTERRUPTED)

# name: (source, charmap), for localedef -i source -f charmap
LOCALES = {"C.UTF-8": ("C", "UTF-8"), "zh_TW.BIG5": ("zh_TW", "BIG5"),
           "zh_CN.GB18030": ("zh_CN", "GB18030"), "zh_CN.GBK": ("zh_CN", "GBK"),
           "ja_JP.SJIS": ("ja_JP", "SHIFT_JIS")}
PAIRS = [(shell, locale) for shell in SHELLS for locale in LOCALES]


@pytest.fixture(scope="session")
def locpath(tmp_path_factory):
    """A folder holding every locale of LOCALES, each checked to be in force
    with its own encoding, so no pair can pass under the C locale."""
    folder = tmp_path_factory.mktemp("locales")
    for name, (source, charmap) in LOCALES.items():
        made = subprocess.run(["localedef", "--no-warnings=ascii", "-i", source, "-f", charmap,
                               str(folder / name)], capture_output=True, text=True)
        assert made.returncode == 0, f"localedef {name}: {made.stdout}{made.stderr}" \
            " (Debian: apt-get install locales)"
        shown = subprocess.run(["locale", "charmap"], capture_output=True, text=True,
                               env=dict(os.environ, LOCPATH=str(folder), LC_ALL=name))
        assert shown.stdout.strip() == charmap and shown.stderr == "", shown
    return str(folder)


@pytest.mark.parametrize("shell,locale", PAIRS, ids=[f"{s}-{l}" for s, l in PAIRS])
def test_hostile_links_arrive_intact(console, locpath, shell, locale):
    links = [link for link, _, _ in HOSTILE]
    r = console(b"\n".join(links) + b"\n", wrap=as_sh(shell),
                extra_env={"LOCPATH": locpath, "LC_ALL": locale})
    assert r.outcome() == expected([P, *[line for link in links for line in (dl(link), b"", P)]],
                                   [], 0, links)


@pytest.mark.parametrize("shell,locale", PAIRS, ids=[f"{s}-{l}" for s, l in PAIRS])
def test_random_tokens_arrive_intact(console, locpath, shell, locale):
    check_random_tokens(console, 300, wrap=as_sh(shell),
                        extra_env={"LOCPATH": locpath, "LC_ALL": locale})


@pytest.mark.parametrize("standin", INTERRUPTED)
@pytest.mark.parametrize("shell", SHELLS)
def test_ctrl_c_ends_the_program(tmp_path, shell, standin):
    check_ctrl_c(tmp_path, standin, wrap=as_sh(shell))

"""The stub package against mypy: what it accepts and refuses, and stubtest against the module."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from support import IS_PYPY

USAGE = Path(__file__).with_name("stub_usage.py")
MARKED = re.compile(r"^[^#].*  # E: ([a-z-]+(?:, [a-z-]+)*)$")
REPORTED = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


def _mypy_or_skip():
    # The wheel checks install mypy and require these tests; elsewhere they are optional.
    if os.environ.get("TARNIX_REQUIRE_MYPY") == "1":
        return
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")


def _mypy(*arguments, cwd):
    return subprocess.run(
        [sys.executable, "-m", *arguments],
        cwd=str(cwd),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=300,
    )


def _expected():
    expected = set()
    for number, line in enumerate(USAGE.read_text().splitlines(), 1):
        marked = MARKED.match(line)
        if marked:
            for code in marked.group(1).split(","):
                expected.add((number, code.strip()))
    return expected


def test_mypy_reports_exactly_the_wrong_calls(tmp_path):
    _mypy_or_skip()
    # Run away from the source tree, so that the installed stubs are what mypy reads.
    proc = _mypy("mypy", "--strict", "--no-error-summary", "--hide-error-context",
                 "--cache-dir", str(tmp_path / "cache"), str(USAGE), cwd=tmp_path)
    reported = set()
    for line in proc.stdout.splitlines():
        if ": note: " in line:
            continue
        match = REPORTED.match(line)
        assert match, "unexpected mypy output: %s\n%s" % (line, proc.stdout)
        reported.add((int(match.group(1)), match.group(2)))
    assert reported == _expected(), proc.stdout


@pytest.mark.skipif(IS_PYPY, reason="stubtest compares with the module of the interpreter that runs it")
def test_stubtest_finds_the_stubs_true_to_the_module(tmp_path):
    _mypy_or_skip()
    proc = _mypy("mypy.stubtest", "tarnix", "--mypy-config-file", os.devnull, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout

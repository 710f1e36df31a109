"""Fixtures; the helpers that tests import are in support.py."""
import os
import subprocess
import sys
import textwrap

import pytest

from support import provoke_panic


@pytest.fixture(scope="session")
def panic_exception_type():
    return type(provoke_panic())


@pytest.fixture
def unraisable(monkeypatch):
    """Collect the reports that reach sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.fixture
def run_python():
    """Run a snippet in a fresh interpreter; returns the CompletedProcess.

    Keyword arguments set environment variables for it (None removes one). A
    TARNIX_BACKTRACE of the test run itself is not passed on, so that every
    panic report has the same form unless a test asks for the backtrace.
    """

    def run(source, **variables):
        env = dict(os.environ)
        env.pop("TARNIX_BACKTRACE", None)
        for name, value in variables.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            env=env,
            timeout=120,
        )

    return run



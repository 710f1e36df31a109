import os
import platform
import subprocess
import sys
import textwrap

import pytest

import tarnix

IS_PYPY = platform.python_implementation() == "PyPy"

# Largest number of float32 elements whose byte size still fits the
# platform's signed size; one more must be refused as a capacity overflow.
MAX_F32_HINT = sys.maxsize // 4


class HintedSequence:
    """A sequence whose __len__ reports `hint` but which yields `items`."""

    def __init__(self, items, hint):
        self.items = list(items)
        self.hint = hint

    def __len__(self):
        return self.hint

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def provoke_panic():
    """Trigger the "capacity overflow" panic and return the exception."""
    try:
        tarnix.cosine_similarity(HintedSequence([], MAX_F32_HINT + 1), [])
    except BaseException as exc:  # the panic is deliberately not an Exception
        return exc
    raise AssertionError("an oversized capacity hint did not panic")


@pytest.fixture(scope="session")
def panic_exception_type():
    return type(provoke_panic())


@pytest.fixture
def unraisable(monkeypatch):
    """Collect the reports that reach sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def reported_about(report, obj):
    """True when an unraisable report names `obj` as its context.

    PyPy hands the context over inside the message instead of as `object`.
    """
    if report.object is obj:
        return True
    return IS_PYPY and report.object is None and repr(obj) in (report.err_msg or "")


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


def host_error(func, obj):
    """The exception the host raises for `func(obj)`, to compare texts with."""
    try:
        func(obj)
    except Exception as exc:
        return exc
    raise AssertionError("expected the host to refuse %r" % (obj,))


class Hook:
    """A float element that runs `action` when the module converts it."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value
        self.errors = []

    def __float__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.errors.append(exc)
        return self.value

    def __index__(self):
        self.__float__()
        return int(self.value)

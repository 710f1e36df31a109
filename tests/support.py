"""Helpers that tests import: shared inputs, hooks and the ways to compare errors."""
import platform
import sys

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


def reported_about(report, obj):
    """True when an unraisable report names `obj` as its context.

    PyPy hands the context over inside the message instead of as `object`.
    """
    if report.object is obj:
        return True
    return IS_PYPY and report.object is None and repr(obj) in (report.err_msg or "")


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

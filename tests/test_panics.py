import os
import re
import subprocess
import sys

import pytest

import tarnix
from support import MAX_F32_HINT, HintedSequence, provoke_panic

DOC_TAIL = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_panic_exception_class(panic_exception_type):
    cls = panic_exception_type
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "tarnix_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__name__ not in vars(tarnix)
    assert cls.__name__ not in tarnix.__all__


def test_panic_exception_doc(panic_exception_type):
    doc = panic_exception_type.__doc__
    assert doc.startswith("\n")
    assert doc.endswith("\n\n" + DOC_TAIL)
    first_line = doc[1:-len("\n\n" + DOC_TAIL)]
    assert first_line.strip() and "\n" not in first_line


def test_the_class_is_created_once(panic_exception_type):
    assert type(provoke_panic()) is panic_exception_type
    assert type(provoke_panic()) is panic_exception_type


def test_panic_is_not_an_ordinary_exception(panic_exception_type):
    with pytest.raises(BaseException) as info:
        try:
            tarnix.cosine_similarity(HintedSequence([1.0], sys.maxsize), [1.0])
        except Exception:
            pytest.fail("a panic must not be caught by `except Exception`")
    assert type(info.value) is panic_exception_type
    assert info.value.args == ("capacity overflow",)
    assert str(info.value) == "capacity overflow"


def _vector(hint):
    return HintedSequence([1.0], hint)


@pytest.mark.parametrize("hint", [MAX_F32_HINT + 1, MAX_F32_HINT + 2, sys.maxsize])
@pytest.mark.parametrize(
    "call",
    [
        lambda v: tarnix.cosine_similarity([1.0], v),
        lambda v: tarnix.Vectorstore(1).insert(v, 1),
        lambda v: tarnix.Vectorstore(1).search(v, 1),
        lambda v: tarnix.Vectorstore(1, [(v, 1)]),
    ],
)
def test_oversized_hint_for_a_vector_panics(panic_exception_type, hint, call):
    with pytest.raises(panic_exception_type) as info:
        call(_vector(hint))
    assert info.value.args == ("capacity overflow",)


def test_oversized_hint_for_the_list_of_pairs_panics(panic_exception_type):
    pairs = HintedSequence([([1.0], 1)], sys.maxsize)
    with pytest.raises(panic_exception_type) as info:
        tarnix.Vectorstore(1, pairs)
    assert info.value.args == ("capacity overflow",)


def test_store_is_usable_after_a_panic(panic_exception_type):
    store = tarnix.Vectorstore(1, [([1.0], 1)])
    with pytest.raises(panic_exception_type):
        store.insert(_vector(sys.maxsize), 2)
    with pytest.raises(panic_exception_type):
        store.search(_vector(sys.maxsize), 1)
    assert len(store) == 1
    store.insert([2.0], 2)
    assert store.search([1.0], 5) == [(1.0, 1), (1.0, 2)]


def test_panic_raised_back_into_the_module_resumes(panic_exception_type):
    first = provoke_panic()

    class Element:
        def __float__(self):
            raise first

    with pytest.raises(panic_exception_type) as info:
        tarnix.cosine_similarity([Element()], [1.0])
    assert info.value is not first
    assert info.value.args == ("capacity overflow",)


def test_resumed_panic_keeps_a_message_of_its_own(panic_exception_type):
    class Element:
        def __float__(self):
            raise panic_exception_type("raised from Python")

    store = tarnix.Vectorstore(1)
    with pytest.raises(panic_exception_type) as info:
        store.insert([Element()], 1)
    assert info.value.args == ("raised from Python",)
    assert len(store) == 0
    store.insert([1.0], 1)


def test_resumed_panic_with_an_unprintable_message(panic_exception_type):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    class Element:
        def __float__(self):
            raise panic_exception_type(Unprintable())

    with pytest.raises(panic_exception_type) as info:
        tarnix.cosine_similarity([1.0], [Element()])
    assert info.value.args == ("Unwrapped panic from Python code",)


def test_subclass_of_the_panic_is_an_ordinary_error(panic_exception_type):
    class Derived(panic_exception_type):
        pass

    exc = Derived("not resumed")

    class Element:
        def __float__(self):
            raise exc

    with pytest.raises(Derived) as info:
        tarnix.cosine_similarity([Element()], [1.0])
    assert info.value is exc


# ------------------------------------------------------------- standard error

PROVOKE = """
    import sys
    import tarnix

    class Hinted:
        def __init__(self, hint):
            self.hint = hint
        def __len__(self):
            return self.hint
        def __getitem__(self, i):
            raise IndexError(i)

    def panic():
        try:
            tarnix.cosine_similarity(Hinted(sys.maxsize), [])
        except BaseException as exc:
            return exc
"""

REPORT = re.compile(r"\nthread '<unnamed>' \(\d+\) panicked at [^\n]+:\d+:\d+:\ncapacity overflow\n")


def test_panic_report_on_stderr(run_python):
    proc = run_python(PROVOKE + """
    exc = panic()
    sys.stderr.flush()
    print(type(exc).__name__, exc.args)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "PanicException ('capacity overflow',)\n"
    assert "panicked at" in proc.stderr
    assert REPORT.search(proc.stderr), proc.stderr
    notes = [line for line in proc.stderr.splitlines() if line.startswith("note: ")]
    assert len(notes) == 1


def test_resumed_panic_on_stderr(run_python):
    proc = run_python(PROVOKE + """
    first = panic()
    sys.stderr.flush()
    sys.stderr.write("=== resume ===\\n")
    sys.stderr.flush()

    class Element:
        def __float__(self):
            raise first

    try:
        tarnix.cosine_similarity([Element()], [1.0])
    except BaseException as exc:
        second = exc
    sys.stderr.flush()
    print(type(second) is type(first), second is first, second.args)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "True False ('capacity overflow',)\n"
    before, _, after = proc.stderr.partition("=== resume ===\n")
    assert REPORT.search(before)
    lines = after.splitlines()
    banner = [i for i, line in enumerate(lines) if line.startswith("--- ") and line.endswith(" ---")]
    assert len(banner) == 1, after
    assert lines[banner[0] + 1] == "Python stack trace below:"
    rest = "\n".join(lines[banner[0] + 2:])
    assert "Traceback (most recent call last):" in rest
    assert "__float__" in rest
    assert "PanicException: capacity overflow" in rest
    # the panic report is not printed a second time
    assert "panicked at" not in after


# ------------------------------------------------------------------ backtrace

# "  3: /path/to/object+0x1a2b3 symbol", the symbol only where the platform knows it.
FRAME = re.compile(r"  (\d+): (\S.*?)\+0x([0-9a-f]+)(?: (.+))?")


def _report_frames(stderr):
    """The frames after "stack backtrace:" as (path, offset, symbol or None)."""
    lines = stderr.splitlines()
    start = lines.index("stack backtrace:") + 1
    frames = []
    for line in lines[start:]:
        if line == "  ...":
            break
        match = FRAME.fullmatch(line)
        if not match:
            break
        assert int(match.group(1)) == len(frames), stderr
        frames.append((match.group(2), int(match.group(3), 16), match.group(4)))
    return frames


PRINT_MODULE = """
    panic()
    sys.stderr.flush()
    print(tarnix.__file__)
"""


@pytest.mark.parametrize(
    "value, shown", [(None, False), ("", False), ("0", False), ("1", True), ("full", True)]
)
def test_backtrace_only_when_the_variable_asks_for_it(run_python, value, shown):
    proc = run_python(PROVOKE + PRINT_MODULE, TARNIX_BACKTRACE=value)
    assert proc.returncode == 0, proc.stderr
    assert REPORT.search(proc.stderr), proc.stderr
    notes = [line for line in proc.stderr.splitlines() if line.startswith("note: ")]
    if shown:
        assert notes == []
        assert _report_frames(proc.stderr), proc.stderr
    else:
        assert len(notes) == 1 and "TARNIX_BACKTRACE" in notes[0], proc.stderr
        assert "stack backtrace:" not in proc.stderr
        assert not [line for line in proc.stderr.splitlines() if FRAME.fullmatch(line)]


def test_backtrace_offsets_into_the_module_resolve_to_our_functions(run_python):
    proc = run_python(PROVOKE + PRINT_MODULE, TARNIX_BACKTRACE="1")
    assert proc.returncode == 0, proc.stderr
    module = os.path.realpath(proc.stdout.strip())
    frames = _report_frames(proc.stderr)
    ours = [offset for path, offset, _ in frames if os.path.realpath(path) == module]
    assert ours, proc.stderr
    # The interpreter's exported functions are named in the report itself.
    assert any(symbol for path, _, symbol in frames if os.path.realpath(path) != module)
    resolved = subprocess.run(
        ["addr2line", "-f", "-C", "-e", module] + [hex(offset) for offset in ours],
        stdout=subprocess.PIPE,
        universal_newlines=True,
        check=True,
    ).stdout.splitlines()
    functions = resolved[0::2]  # each function line is followed by its file:line
    assert any(name.startswith("tarnix::base::panic(") for name in functions), resolved

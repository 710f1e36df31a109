"""The module's interpreter-side code (src/python/interpreter_side.py), on its own, and as
the PyPy build runs it: what each function answers for, what it declines, and what a
hook that runs inside it can and cannot do."""
import array
import importlib.util
import os
import struct
import sys
import threading
import traceback

import pytest

import tarnix
from support import IS_PYPY

SOURCE = os.path.join(os.path.dirname(__file__), "..", "src", "python", "interpreter_side.py")


def load_source():
    spec = importlib.util.spec_from_file_location("interpreter_side_under_test", SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


side = load_source()
needs_cffi = pytest.mark.skipif(not side.available, reason="cffi's backend is not installed")
on_pypy = pytest.mark.skipif(not IS_PYPY, reason="the module uses the interpreter side on PyPy only")


class Memory:
    """Native memory of `words` 64-bit words, read back as doubles, words or bytes."""

    def __init__(self, words):
        self.block = side._ffi.new("unsigned long long[]", words)
        self.address = int(side._ffi.cast("uintptr_t", self.block))

    def doubles(self, start, count):
        return [side._ffi.cast("double *", self.block)[start + i] for i in range(count)]

    def words(self, start, count):
        return [self.block[start + i] for i in range(count)]

    def bytes(self, start, count):
        return bytes(side._ffi.buffer(self.block)[8 * start:8 * start + count])


@needs_cffi
@pytest.mark.parametrize("sequence, expected", [
    ([1.5, -0.0, 2], [1.5, -0.0, 2.0]),
    ((1.5, 2 ** 53, -(2 ** 53)), [1.5, 2.0 ** 53, -(2.0 ** 53)]),
    ([float("inf")], [float("inf")]),
])
def test_plain_floats_writes_exact_floats_and_small_ints(sequence, expected):
    memory = Memory(len(sequence))
    assert side.plain_floats(sequence, memory.address, len(sequence)) is True
    assert memory.doubles(0, len(sequence)) == expected


class FloatSubclass(float):
    pass


@needs_cffi
@pytest.mark.parametrize("sequence, count", [
    ([1.0, True], 2),  # a bool converts through __index__... the general way decides
    ([1.0, 2 ** 53 + 1], 2),  # not a double exactly
    ([1.0, FloatSubclass(2.0)], 2),  # its __float__ could be anything
    ([1.0, "2"], 2),
    ([1.0, 2.0], 3),  # changed length since the module looked
])
def test_plain_floats_declines_everything_else(sequence, count):
    assert side.plain_floats(sequence, Memory(3).address, count) is False


def test_a_list_is_read_in_place_only_while_nothing_else_can_change_it():
    items, row = [1.0, 2.0], (1.0, 2.0)
    assert side.steady(items) is items
    assert side.steady(row) is row
    for set_hook in (sys.settrace, sys.setprofile):
        set_hook(lambda *args: None)
        try:
            hooked = side.steady(items)
        finally:
            set_hook(None)
        assert hooked == items and hooked is not items
    release = threading.Event()
    other = threading.Thread(target=release.wait)
    other.start()
    try:
        threaded = side.steady(items)
    finally:
        release.set()
        other.join()
    assert threaded == items and threaded is not items
    assert side.steady(row) is row


@needs_cffi
def test_plain_pairs_reads_a_run_up_to_the_first_pair_that_is_not_plain():
    pairs = [([1.0, 2.0], 7), ((3.0, 4.0), 2 ** 64 - 1), ([5.0, 6.0], -1), ([7.0, 8.0], 9)]
    capacity, dimension = 3, 2
    memory = Memory(capacity * dimension + capacity)
    assert side.plain_pairs(pairs, 0, memory.address, capacity, dimension) == 2
    assert memory.doubles(0, 4) == [1.0, 2.0, 3.0, 4.0]
    assert memory.words(capacity * dimension, 2) == [7, 2 ** 64 - 1]
    assert side.plain_pairs(pairs, 3, memory.address, capacity, dimension) == 1
    assert memory.doubles(0, 2) == [7.0, 8.0]


@needs_cffi
@pytest.mark.parametrize("pair", [
    ([1.0, 2.0], 2 ** 64),
    ([1.0, 2.0], True),
    ([1.0], 1),
    ([1.0, 2.0], 1, 3),
    [[1.0, 2.0], 1],
    (array.array("d", [1.0, 2.0]), 1),
])
def test_plain_pairs_stops_before_a_pair_that_is_not_plain(pair):
    memory = Memory(8)
    assert side.plain_pairs([([0.0, 0.0], 1), pair], 0, memory.address, 2, 2) == 1


@needs_cffi
def test_plain_pairs_never_writes_past_its_capacity():
    memory = Memory(2 * 1 + 2 + 1)
    memory.block[4] = 12345
    assert side.plain_pairs([([1.0], 1)] * 5, 0, memory.address, 2, 1) == 2
    assert memory.block[4] == 12345


@needs_cffi
def test_hits_list_reads_scores_then_ids():
    memory = Memory(4)
    double_words = [struct.unpack("<Q", struct.pack("<d", x))[0] for x in (0.5, -1.0)]
    for i, word in enumerate(double_words + [3, 2 ** 64 - 1]):
        memory.block[i] = word
    assert side.hits_list(memory.address, 2) == [(0.5, 3), (-1.0, 2 ** 64 - 1)]


@needs_cffi
def test_the_scratch_functions_keep_to_the_layout_they_declare():
    words = 16
    memory = Memory(words)
    floats_into, hits_from, array_into = side.scratch_functions(memory.address, words)
    payload_words = words - side.PAYLOAD
    assert floats_into([1.0, 2.0]) is True
    assert memory.words(side.COUNT, 1) == [2]
    assert memory.doubles(side.PAYLOAD, 2) == [1.0, 2.0]
    assert floats_into([0.0] * (payload_words + 1)) is False

    small = array.array("f", [1.0, -2.0, 3.5])
    assert array_into(small) is None
    assert memory.words(side.COUNT, 1) == [len(small.tobytes())]
    assert memory.words(side.TYPECODE, 1) == [ord("f")]
    assert memory.bytes(side.PAYLOAD, 12) == small.tobytes()
    large = array.array("d", range(payload_words + 1))
    assert array_into(large) == large.tobytes()
    assert memory.words(side.TYPECODE, 1) == [ord("d")]

    memory.block[side.PAYLOAD] = struct.unpack("<Q", struct.pack("<d", 0.25))[0]
    memory.block[side.PAYLOAD + 1] = 9
    assert hits_from(1) == [(0.25, 9)]


def test_attribute_kind_tells_data_descriptors_from_plain_attributes():
    class Base:
        plain = 1

        @property
        def data(self):
            return 2

    class Derived(Base):
        pass

    assert [side.attribute_kind(Derived, name) for name in ("data", "plain", "missing")] == [2, 1, 0]


def hook_inside(function_name, action):
    """A trace function that runs `action` once, when the interpreter-side function of that
    name starts, inside a call of the module."""
    done = []

    def trace(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == "<tarnix._interpreter_side>" \
                and frame.f_code.co_name == function_name and not done:
            done.append(action())
        return None

    return trace, done


@on_pypy
@pytest.mark.parametrize("function_name, outer", [
    ("floats_into_scratch", lambda: tarnix.cosine_similarity([1.0, 0.0], [1.0, 0.0])),
    ("array_into_scratch", lambda: tarnix.cosine_similarity(array.array("f", [1.0, 0.0]), [1.0, 0.0])),
    ("hits_from_scratch", lambda: tarnix.Vectorstore(2, [([1.0, 0.0], 5)]).search([1.0, 0.0], 1)),
])
def test_a_call_made_while_the_scratch_is_in_use_brings_memory_of_its_own(function_name, outer):
    # The inner call runs while the outer one holds the scratch: were they to share it,
    # the inner call's data would overwrite the outer's.
    inner_store = tarnix.Vectorstore(3, [([0.0, 3.0, 4.0], 8)])
    trace, inner = hook_inside(function_name, lambda: (
        tarnix.cosine_similarity([3.0, 4.0, 0.0], [3.0, 4.0, 0.0]),
        tarnix.cosine_similarity(array.array("d", [0.0, 2.0, 0.0]), [0.0, 1.0, 0.0]),
        inner_store.search([0.0, 3.0, 4.0], 1),
    ))
    expected = outer()
    sys.settrace(trace)
    try:
        found = outer()
    finally:
        sys.settrace(None)
    assert inner == [(1.0, 1.0, [(1.0, 8)])]
    assert found == expected


@on_pypy
def test_an_exception_inside_the_interpreter_side_names_it_in_the_traceback():
    def raise_on_first_line(frame, event, arg):
        raise KeyError("raised by a hook")

    def trace(frame, event, arg):
        if frame.f_code.co_filename == "<tarnix._interpreter_side>":
            return raise_on_first_line
        return None

    sys.settrace(trace)
    try:
        with pytest.raises(KeyError) as caught:
            tarnix.Vectorstore(1, [([1.0], 1)])
    finally:
        sys.settrace(None)
    files = [frame.filename for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert "<tarnix._interpreter_side>" in files

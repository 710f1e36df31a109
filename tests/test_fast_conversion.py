"""Buffers of floats, and exact lists and tuples, are read without the iterator protocol.
Whatever they convert to, and every error they raise, must be what iteration gives."""

import array
import ctypes
import math
import platform
import struct

import pytest

import reference
import tarnix
from support import Hook

try:
    import numpy as np
except ImportError:  # the 32-bit PyPy has no numpy; array.array and memoryview cover it
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")


class Iterated:
    """`obj` seen only through Python-level iteration, so it takes the general way."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def outcome(call):
    try:
        return [(reference.bits(score), rid) for score, rid in call()]
    except Exception as exc:
        return type(exc), exc.args


def assert_same_as_iteration(make):
    """Searching with, and inserting, make() behaves exactly as its iteration does."""
    for dim in (3, 5):
        records = [([float(i == j) - 0.5 * i for i in range(dim)], j) for j in range(dim + 2)]
        fast, general = tarnix.Vectorstore(dim, records), tarnix.Vectorstore(dim, records)
        assert outcome(lambda: fast.search(make(), 9)) == outcome(lambda: general.search(Iterated(make()), 9))
        assert outcome(lambda: fast.insert(make(), 99) or fast.search([1.0] * dim, 99)) == outcome(
            lambda: general.insert(Iterated(make()), 99) or general.search([1.0] * dim, 99)
        )
        assert len(fast) == len(general)
        pairs = lambda v: [(v, 1), ([0.0] * dim, 2)]
        assert outcome(lambda: tarnix.Vectorstore(dim, pairs(make())).search([1.0] * dim, 9)) == outcome(
            lambda: tarnix.Vectorstore(dim, pairs(Iterated(make()))).search([1.0] * dim, 9)
        )


SIGNALLING_NAN = struct.unpack("<f", struct.pack("<I", 0x7FA00001))[0]
ODD_FLOATS = [1.0, -0.0, 1e-45, 3.4e38, float("inf"), float("nan"), 0.1]

BUFFERS = [
    lambda: array.array("f", [0.5, -2.0, 0.1]),
    lambda: array.array("d", [0.1, 1e39, -1e-46]),
    lambda: array.array("d", [0.1, 2.0, 3.0, 1e-30, -7.5]),
    lambda: array.array("f", ODD_FLOATS[:5]),
    lambda: array.array("f", bytes(struct.pack("<3I", 0x7FA00001, 0x3F800000, 0))),
    lambda: array.array("f"),
    lambda: array.array("i", [1, 2, 3]),
    lambda: memoryview(array.array("f", [1.0, 2.0, 3.0])),
    lambda: memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))[::2],
    lambda: memoryview(struct.pack("<5f", *ODD_FLOATS[:5])).cast("f"),
    lambda: memoryview(struct.pack("<6f", *range(6))).cast("B").cast("f", (2, 3)),
    lambda: memoryview(b"\x01\x02\x03"),
]
NUMPY_ARRAYS = [
    lambda: np.array([0.5, -2.0, 0.1], dtype=np.float32),
    lambda: np.array(ODD_FLOATS[:5], dtype=np.float64),
    lambda: np.array([1.0, 2.0, 3.0], dtype=">f4"),
    lambda: np.array([1.0, 2.0, 3.0], dtype=np.float16),
    lambda: np.array([1, 2, 3], dtype=np.int32),
    lambda: np.arange(10, dtype=np.float32)[::2],
    lambda: np.arange(6, dtype=np.float64)[::-2],
    lambda: np.ones((3, 1), dtype=np.float32),
    lambda: np.ones((3, 3), dtype=np.float32),
    lambda: np.array(1.0, dtype=np.float32),
    lambda: np.zeros(0, dtype=np.float32),
    lambda: np.array([SIGNALLING_NAN, 1.0, 2.0], dtype=np.float32),
    lambda: np.array([1.0, 2.0, 3.0], dtype=np.float32).view(ReversedArray) if np else None,
]


if np is not None:

    class ReversedArray(np.ndarray):
        """A subclass whose iteration differs from its buffer: it must be iterated."""

        def __iter__(self):
            return iter(list(np.asarray(self))[::-1])


# A subclass whose iteration differs from its buffer, so it must be iterated; its type is
# named "array", as PyPy names array.array itself.
ReversedArray32 = type("array", (array.array,), {"__iter__": lambda self: iter(self.tolist()[::-1])})
BUFFERS.append(lambda: ReversedArray32("f", [1.0, 2.0, 3.0]))

# Named as numpy names its array type, which any Python class may be; numpy itself is
# known by identity.
PosingArray = type("numpy.ndarray", (array.array,), {"__iter__": lambda self: iter(self.tolist()[::-1])})
BUFFERS.append(lambda: PosingArray("f", [1.0, 2.0, 3.0]))

# ctypes arrays export the standard-size formats "<f" and "<d", which a memoryview
# iterates on PyPy and refuses with NotImplementedError on CPython.
BUFFERS.append(lambda: memoryview((ctypes.c_float * 3)(1.0, 2.5, -4.0)))
BUFFERS.append(lambda: memoryview((ctypes.c_double * 3)(0.1, 1e39, 2.0)))


@pytest.mark.parametrize("make", BUFFERS)
def test_float_buffers_convert_as_they_iterate(make):
    assert_same_as_iteration(make)


def test_numpy_is_never_imported(run_python):
    proc = run_python(
        """
        import array, sys
        import tarnix
        posing = type("numpy.ndarray", (array.array,), {})
        print(tarnix.cosine_similarity(posing("f", [1.0]), [1.0]), "numpy" in sys.modules)
        """
    )
    assert (proc.returncode, proc.stdout) == (0, "1.0 False\n"), proc.stderr


@needs_numpy
@pytest.mark.parametrize("make", NUMPY_ARRAYS)
def test_numpy_arrays_convert_as_they_iterate(make):
    assert_same_as_iteration(make)


# PyPy itself crashes handing a released memoryview to any extension function, before
# the function runs (seen with a one-line module of its own).
@pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="PyPy crashes passing it to C")
def test_a_released_memoryview_fails_as_before():
    view = memoryview(array.array("f", [1.0, 2.0]))
    view.release()
    with pytest.raises(ValueError) as info:
        tarnix.Vectorstore(2).search(view, 1)
    assert info.value.args == ("operation forbidden on released memoryview object",)


class Mutator:
    """Converts to 1.0, and the first time changes the list being converted."""

    def __init__(self, change):
        self.change = change
        self.target = None

    def __float__(self):
        if self.change:
            self.change, change = None, self.change
            change(self.target)
        return 1.0


class SubList(list):
    pass


@pytest.mark.parametrize(
    "change, length",
    [(list.clear, 1), (lambda t: t.append(2.0), 4), (lambda t: t.pop(), 2), (lambda t: t.insert(0, 5.0), 4)],
)
def test_a_list_changed_during_its_conversion_is_read_as_its_iterator_reads_it(change, length):
    for kind in (list, SubList):  # an exact list is read by index, a subclass by iteration
        mutator = Mutator(change)
        target = kind([mutator, 2.0, 3.0])
        mutator.target = target
        store = tarnix.Vectorstore(length)
        store.insert(target, 1)
        assert len(store) == 1, kind


@pytest.mark.parametrize("kind", [list, tuple])
def test_exact_lists_and_tuples_of_pairs(kind):
    pairs = kind([([1.0, 0.0], 5), ((0.0, 1.0), 6), (array.array("f", [1.0, 1.0]), 7)])
    store = tarnix.Vectorstore(2, pairs)
    assert [rid for _, rid in store.search(kind([1.0, 0.0]), 3)] == [5, 7, 6]
    assert math.isclose(store.search([1.0, 1.0], 1)[0][0], 1.0, rel_tol=1e-6)


class IntSubclass(int):
    pass


# Inserting reads a buffer straight into the store only when the id is an exact int;
# every id must give what the iterated vector gives, right length or not.
@pytest.mark.parametrize("rid", [7, 2**64 - 1, -1, 2**64, IntSubclass(3), True, 7.0, "7", None])
@pytest.mark.parametrize("length", [3, 4])
@pytest.mark.parametrize("code", ["f", "d"])
def test_a_float_buffer_inserts_as_iteration_does_whatever_its_id(rid, length, code):
    make = lambda: array.array(code, [0.5, -2.0, 0.1, 9.0][:length])
    fast, general = tarnix.Vectorstore(3), tarnix.Vectorstore(3)
    assert outcome(lambda: fast.insert(make(), rid) or fast.search([1.0] * 3, 9)) == outcome(
        lambda: general.insert(Iterated(make()), rid) or general.search([1.0] * 3, 9)
    )


def test_an_id_that_changes_the_vector_finds_it_already_read():
    vector = array.array("f", [1.0, 2.0, 3.0])

    class ChangingId:
        def __index__(self):
            vector[0] = -1.0
            return 5

    store = tarnix.Vectorstore(3)
    store.insert(vector, ChangingId())
    assert store.search([1.0, 2.0, 3.0], 1) == tarnix.Vectorstore(3, [([1.0, 2.0, 3.0], 5)]).search([1.0, 2.0, 3.0], 1)


@pytest.mark.parametrize("dim", [1, 9, 130])
def test_buffers_inserted_past_whole_blocks_search_as_lists_do(dim):
    rows = [[math.sin(7.0 * i + j) * (i % 5) for j in range(dim)] for i in range(150)]
    from_buffers, from_lists = tarnix.Vectorstore(dim), tarnix.Vectorstore(dim)
    for i, row in enumerate(rows):
        from_buffers.insert(array.array("f", row), i)
        from_lists.insert(row, i)
    query = [math.cos(j) for j in range(dim)]
    assert outcome(lambda: from_buffers.search(query, 150)) == outcome(lambda: from_lists.search(query, 150))


class FloatSubclass(float):
    pass


class BoolLike(int):
    pass


class LyingFloat(float):
    def __float__(self):
        return 7.0


# Exact lists and tuples whose items are all exact floats, or exact ints small enough to
# be floats exactly, may be read in one go; anything else among the items sends the
# whole sequence the general way. Both must give the same floats and the same errors.
LONGER_THAN_SCRATCH = [math.sin(i) * 1e3 for i in range(2100)]
PLAIN_SEQUENCES = [
    lambda: [0.5, -2.0, 0.1],
    lambda: (0.5, -2.0, 0.1),
    lambda: [1, -2, 3],
    lambda: [1.0, 2, 3.5, 4, 5.0],
    lambda: [2**53, -(2**53), 1.0],
    lambda: [2**53 + 1, 2**60 + 1, 1.0],
    lambda: [2**1030, 1.0, 2.0],
    lambda: [1e39, -1e-46, 3.4028235e38],
    list(ODD_FLOATS[:5]).copy,
    lambda: [float("nan"), -0.0, float("-inf")],
    lambda: [SIGNALLING_NAN, 1.0, 2.0],
    lambda: [True, 1.0, 2.0],
    lambda: [FloatSubclass(1.5), 1.0, 2.0],
    lambda: [1.0, BoolLike(2), 3.0],
    lambda: [1.0, LyingFloat(2.0), 3.0],
    lambda: [1.0, 2.0, "3"],
    lambda: [1.0, 2.0, None],
    lambda: [1.0, 2.0, [3.0]],
    lambda: [],
    lambda: (),
    lambda: [1.0] * 4,
    lambda: LONGER_THAN_SCRATCH[:2046],
    lambda: LONGER_THAN_SCRATCH[:2047],
    lambda: LONGER_THAN_SCRATCH,
    lambda: tuple(LONGER_THAN_SCRATCH),
]


@pytest.mark.parametrize("make", PLAIN_SEQUENCES)
def test_plain_lists_and_tuples_convert_as_they_iterate(make):
    assert_same_as_iteration(make)
    vector = make()
    for length in {len(vector), 3}:
        fast, general = tarnix.Vectorstore(length), tarnix.Vectorstore(length)
        assert outcome(lambda: fast.insert(make(), 1) or fast.search([1.0] * length, 2)) == outcome(
            lambda: general.insert(Iterated(make()), 1) or general.search([1.0] * length, 2)
        )
    try:
        expected = tarnix.cosine_similarity(Iterated(make()), Iterated(make()))
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            tarnix.cosine_similarity(make(), make())
        assert info.value.args == exc.args
    else:
        assert reference.bits(tarnix.cosine_similarity(make(), make())) == reference.bits(expected)


def test_a_hook_among_floats_runs_once_and_may_use_the_store():
    store = tarnix.Vectorstore(3, [([1.0, 0.0, 0.0], 1)])
    seen = []
    hook = Hook(lambda: seen.append(store.search([0.0, 1.0, 0.0], 1)))
    assert store.search([1.0, 2.0, hook], 1)[0][1] == 1
    assert seen == [[(0.0, 1)]] and hook.errors == []
    # Inserting holds the store while it converts: the hook's search is refused.
    store.insert([hook, 0.0, 1.0], 2)
    assert len(seen) == 1 and len(store) == 2
    assert [type(e) for e in hook.errors] == [RuntimeError]


@pytest.mark.parametrize(
    "change, length", [(list.clear, 3), (lambda t: t.append(2.0), 5), (lambda t: t.pop(), 3)]
)
def test_a_list_changed_by_a_later_element_is_read_as_iteration_reads_it(change, length):
    results = []
    for kind in (list, SubList):  # an exact list is read by index, a subclass by iteration
        mutator = Mutator(change)
        target = kind([2.0, 3.0, mutator, 4.0])
        mutator.target = target
        store = tarnix.Vectorstore(length)
        store.insert(target, 1)
        results.append(outcome(lambda: store.search([1.0] * length, 1)))
    assert results[0] == results[1]


# Result lists are built from the hits in one go; long ones past the module's scratch
# memory take another route. Both must give the scores and ids, in order, that the
# reference gives.
@pytest.mark.parametrize("top_k", [1, 2, 3, 1023, 1024, 1025, 1500, 5000])
def test_result_lists_of_every_length(top_k):
    records = [([float((i * 7) % 11) - 5.0, float(i % 3), -0.0 if i % 4 else 0.0], i * 2**40 + i) for i in range(1500)]
    records[17] = ([float("nan"), 1.0, 0.0], 2**64 - 1)
    records[18] = ([0.0, 0.0, 0.0], 0)
    store = tarnix.Vectorstore(3, records)
    query = [1.0, -0.5, 0.25]
    result = store.search(query, top_k)
    assert all(type(score) is float and type(rid) is int for score, rid in result)
    expected = outcome(lambda: reference.search(records, query, top_k))
    assert outcome(lambda: result) == expected
    assert outcome(lambda: store.parallel_search(query, top_k, 2)) == expected


class PairSubclass(tuple):
    pass


def store_outcome(dim, make_pairs):
    try:
        store = tarnix.Vectorstore(dim, make_pairs())
    except Exception as exc:
        return type(exc), exc.args
    return len(store), outcome(lambda: store.search([1.0] * dim, len(store) + 1))


# Lists of pairs are read in runs of plain pairs (exact tuples of a plain vector of the
# store's dimension and an exact int id), with every other pair converted between runs;
# the store and every error must be what reading the list item by item gives.
MIXED_PAIRS = [
    lambda d: [([float(i + j) for j in range(d)], i) for i in range(40)],
    lambda d: [(tuple(float(j - i) for j in range(d)), i) for i in range(40)],
    lambda d: [([1] * d, 2**64 - 1), ([0.5] * d, 0)],
    lambda d: [([1.0] * d, 1), ([1.0] * (d + 1), 2), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), ([1.0] * (d + 1), 2), ([2.0] * d, "x")],
    lambda d: [([1.0] * d, 1), ([1.0] * d, -1), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), ([1.0] * d, 2**64), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), ([1.0] * d, True), ([2.0] * d, IntSubclass(3))],
    lambda d: [([1.0] * d, 1), ([1.0] * d, 2.0)],
    lambda d: [([1.0] * d, 1), PairSubclass(([3.0] * d, 2)), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), ([1.0] * d, 2, 3), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), [[1.0] * d, 2], ([2.0] * d, 3)],
    lambda d: [([1.0] * (d - 1) + [LyingFloat(2.0)], 1), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), (array.array("f", [3.0] * d), 2), ([2.0] * d, 3)],
    lambda d: [([1.0] * d, 1), ("ab" * d, 2), ([2.0] * d, 3)],
    lambda d: [([2**1030] + [1.0] * (d - 1), 1)],
    lambda d: [([1.0] * d, i) for i in range(9000)] if d == 1 else [([1.0] * d, i) for i in range(300)],
    lambda d: [],
]


@pytest.mark.parametrize("dim", [1, 3, 8193])
@pytest.mark.parametrize("make", MIXED_PAIRS)
def test_pairs_lists_build_as_item_by_item_reading_does(make, dim):
    assert store_outcome(dim, lambda: make(dim)) == store_outcome(dim, lambda: Iterated(make(dim)))


@pytest.mark.parametrize("change", [list.clear, lambda t: t.append(([5.0, 5.0], 9)), lambda t: t.pop()])
def test_a_pairs_list_changed_by_a_hook_is_read_as_iteration_reads_it(change):
    def make(kind):
        mutator = Mutator(change)
        pairs = kind([([1.0, 2.0], 1), ([mutator, 2.0], 2), ([3.0, 1.0], 3), ([0.5, 0.5], 4)])
        mutator.target = pairs
        return pairs

    # A list subclass is iterated, an exact list read by index.
    assert store_outcome(2, lambda: make(list)) == store_outcome(2, lambda: make(SubList))

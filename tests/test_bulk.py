"""insert_many against inserting one by one, bit for bit, in every form it takes; all or
nothing on bad input; search_many's array results against its lists; vectors() and ids()."""
import array
import random
import struct

import pytest

import tarnix
from support import IS_PYPY, Hook

try:
    import numpy as np
except ImportError:  # the 32-bit PyPy has no numpy; array.array and memoryview cover it
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

# Counts that fill no block, one block exactly, and blocks plus a tail.
COUNTS = [0, 1, 63, 64, 65, 130]
DIMS = [0, 1, 3, 65]
MAX_ID = 2**64 - 1


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def special_value(rng):
    """NaN payloads (quiet and signalling), ±0, ±inf, or an ordinary float."""
    roll = rng.random()
    if roll < 0.05:
        return f32(rng.choice([0x7FC00001, 0xFFC12345, 0x7F800001, 0x7FA00000]))
    if roll < 0.1:
        return rng.choice([-0.0, 0.0, float("inf"), float("-inf")])
    return rng.uniform(-2.0, 2.0)


def rows_and_ids(count, dim, seed=0):
    rng = random.Random(seed * 1000 + count * 10 + dim)
    rows = [[special_value(rng) for _ in range(dim)] for _ in range(count)]
    ids = [rng.choice([0, MAX_ID, rng.randrange(2**64)]) for _ in range(count)]
    return rows, ids


def flat_array(code, rows, dim):
    return array.array(code, [x for row in rows for x in row])


def matrix_view(code, rows, dim):
    """A 2-D memoryview of shape (len(rows), dim)."""
    flat = flat_array(code, rows, dim)
    return memoryview(flat).cast("B").cast(code, (len(rows), dim))


# Each form: (what insert_many takes, what insert takes for one row of it).
VECTOR_FORMS = {
    "lists": (lambda rows, dim: rows, lambda row: row),
    "f32 rows": (lambda rows, dim: [array.array("f", r) for r in rows], lambda row: array.array("f", row)),
    "f64 rows": (lambda rows, dim: [array.array("d", r) for r in rows], lambda row: array.array("d", row)),
    "f32 matrix": (lambda rows, dim: matrix_view("f", rows, dim), lambda row: array.array("f", row)),
    "f64 matrix": (lambda rows, dim: matrix_view("d", rows, dim), lambda row: array.array("d", row)),
}
if np is not None:
    VECTOR_FORMS["numpy f32"] = (lambda rows, dim: np.array(rows, np.float32).reshape(len(rows), dim),
                                 lambda row: np.array(row, np.float32))
    VECTOR_FORMS["numpy f64"] = (lambda rows, dim: np.array(rows, np.float64).reshape(len(rows), dim),
                                 lambda row: np.array(row, np.float64))

ID_FORMS = {
    "list": lambda ids: ids,
    "array Q": lambda ids: array.array("Q", ids),
    "tuple": lambda ids: tuple(ids),
}
if np is not None:
    ID_FORMS["numpy uint64"] = lambda ids: np.array(ids, np.uint64)
    ID_FORMS["numpy int64"] = lambda ids: np.array([i for i in ids], np.uint64).view(np.int64) & np.int64(2**63 - 1)


def state(store):
    """Everything a store holds, as bytes and ints, so that NaN payloads and -0.0 compare."""
    return len(store), bytes(store.vectors()), store.ids().tolist()


def answers(store, queries, top_k=7):
    results = store.search_many(queries, top_k)
    return [[(struct.pack("<f", s), i) for s, i in hits] for hits in results]


def one_by_one(dim, rows, ids, row_form):
    store = tarnix.Vectorstore(dim)
    for row, rid in zip(rows, ids):
        store.insert(row_form(row), rid)
    return store


@pytest.mark.parametrize("form", sorted(VECTOR_FORMS))
@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("dim", DIMS)
@pytest.mark.parametrize("prefilled", [0, 70])
def test_insert_many_equals_insert_one_by_one(form, count, dim, prefilled):
    many_form, row_form = VECTOR_FORMS[form]
    if "matrix" in form and count * dim == 0:
        pytest.skip("a memoryview cannot take a shape with a zero in it")
    before, before_ids = rows_and_ids(prefilled, dim, seed=1)
    rows, ids = rows_and_ids(count, dim)
    expected = one_by_one(dim, before + rows, before_ids + ids, row_form)
    store = one_by_one(dim, before, before_ids, row_form)
    assert store.insert_many(many_form(rows, dim), ids) is None
    assert state(store) == state(expected)
    queries = [r for r in (before + rows)[:5]] + [[1.0] * dim]
    assert answers(store, queries) == answers(expected, queries)


@pytest.mark.parametrize("count", [100, 200, 640])
def test_insert_many_after_inserts_that_left_room_in_the_last_chunk(count):
    # 420 records one by one leave six blocks in chunks of 1, 1, 2 and 4 blocks: a run
    # that needs more than the two blocks of room fills them before a new chunk.
    before, before_ids = rows_and_ids(420, 3, seed=2)
    rows, ids = rows_and_ids(count, 3, seed=3)
    expected = one_by_one(3, before + rows, before_ids + ids, list)
    store = one_by_one(3, before, before_ids, list)
    store.insert_many(rows, ids)
    assert state(store) == state(expected)
    assert answers(store, rows[:3]) == answers(expected, rows[:3])


@pytest.mark.parametrize("form", sorted(ID_FORMS))
def test_id_forms(form):
    rows, ids = rows_and_ids(70, 3)
    if form == "numpy int64":
        ids = [i & (2**63 - 1) for i in ids]
    store = tarnix.Vectorstore(3)
    store.insert_many(rows, ID_FORMS[form](ids))
    assert store.ids().tolist() == ids


def test_ids_beyond_signed_range_from_an_array():
    store = tarnix.Vectorstore(1)
    store.insert_many([[1.0], [2.0]], array.array("Q", [MAX_ID, 2**63]))
    assert store.ids().tolist() == [MAX_ID, 2**63]


def prefilled_store():
    rows, ids = rows_and_ids(70, 3, seed=2)
    store = tarnix.Vectorstore(3)
    store.insert_many(rows, ids)
    return store


def insert_error_text(bad_id):
    with pytest.raises(OverflowError) as info:
        tarnix.Vectorstore(1).insert([1.0], bad_id)
    return str(info.value)


BAD_CALLS = {
    "fewer ids": (lambda: ([[1.0, 2.0, 3.0]] * 3, [1, 2]), ValueError, "insert_many() got 3 vectors but 2 ids"),
    "more ids": (lambda: ([[1.0, 2.0, 3.0]], [1, 2]), ValueError, "insert_many() got 1 vectors but 2 ids"),
    "short row in the middle": (lambda: ([[1.0, 2.0, 3.0], [1.0, 2.0], [4.0]], [1, 2, 3]), ValueError,
                                "vector 1 has length 2 but vectorstore expects 3"),
    "matrix of the wrong width": (lambda: (matrix_view("f", [[1.0, 2.0]] * 2, 2), [1, 2]), ValueError,
                                  "vector 0 has length 2 but vectorstore expects 3"),
    # The host words these; the index leads what insert says of the same id.
    "negative id in the middle": (lambda: ([[1.0, 2.0, 3.0]] * 3, [1, -2, 3]), OverflowError,
                                  "id 1: " + insert_error_text(-2)),
    "id too large": (lambda: ([[1.0, 2.0, 3.0]] * 3, [1, 2, 2**64]), OverflowError,
                     "id 2: " + insert_error_text(2**64)),
    "id of the wrong type": (lambda: ([[1.0, 2.0, 3.0]] * 3, [1, 2, "3"]), TypeError,
                             "argument 'ids': id 2: 'str' object cannot be interpreted as an integer"),
    "ids not a sequence": (lambda: ([[1.0, 2.0, 3.0]], 5), TypeError,
                           "argument 'ids': 'int' object is not an instance of 'Sequence'"),
    "a row that is a number": (lambda: ([[1.0, 2.0, 3.0], 4.0], [1, 2]), TypeError,
                               "argument 'vectors': a batch is a sequence of vectors, but item 1 is a number "
                               "('float')"),
    "one vector, not a batch": (lambda: (array.array("f", [1.0, 2.0, 3.0]), [1]), TypeError,
                                "argument 'vectors': a batch is a sequence of vectors, not a one-dimensional "
                                "buffer"),
}


@pytest.mark.parametrize("case", sorted(BAD_CALLS))
def test_bad_input_leaves_the_store_unchanged(case):
    make, error, message = BAD_CALLS[case]
    store = prefilled_store()
    before = state(store)
    vectors, ids = make()
    with pytest.raises(error) as info:
        store.insert_many(vectors, ids)
    assert str(info.value) == message
    assert state(store) == before


@needs_numpy
def test_negative_id_in_a_numpy_column():
    store = prefilled_store()
    before = state(store)
    with pytest.raises(OverflowError) as info:
        store.insert_many(np.ones((3, 3), np.float32), np.array([1, 2, -3], np.int64))
    assert str(info.value) == "id 2: can't convert negative int to unsigned"
    assert state(store) == before


def test_insert_many_is_refused_while_the_store_is_borrowed():
    store = prefilled_store()
    hook = Hook(lambda: store.insert_many([[1.0, 2.0, 3.0]], [9]))
    store.search([hook, 0.0, 0.0], 1)
    assert [e.args for e in hook.errors] == [("Already borrowed",)]
    # and it holds the store exclusively while it converts
    reader = Hook(lambda: len(store))
    store.insert_many([[1.0, 2.0, 3.0]], [reader])
    assert [e.args for e in reader.errors] == [("Already mutably borrowed",)]
    assert len(store) == 71


def test_arguments_by_keyword_and_the_signature():
    store = tarnix.Vectorstore(1)
    store.insert_many(ids=[5], vectors=[[1.0]])
    assert store.ids().tolist() == [5]
    if IS_PYPY:
        return  # PyPy keeps no text signature of a method written in C
    assert tarnix.Vectorstore.insert_many.__text_signature__ == "($self, vectors, ids)"
    assert tarnix.Vectorstore.search_many.__text_signature__ == (
        "($self, vectors, top_k, n_threads=None, *, as_arrays=False)")


def test_array_results_equal_the_lists():
    rows, ids = rows_and_ids(150, 5, seed=3)
    store = tarnix.Vectorstore(5)
    store.insert_many(rows, ids)
    queries = rows[:20] + [[0.0] * 5, [1.0, -1.0, 0.5, 2.0, -0.0]]
    for top_k in [0, 1, 10, 150, 200]:
        lists = store.search_many(queries, top_k)
        scores, found = store.search_many(queries, top_k, as_arrays=True)
        width = min(top_k, len(store))
        assert (scores.shape, scores.format, found.shape, found.format) == (
            (len(queries), width), "f", (len(queries), width), "Q")
        assert scores.c_contiguous and found.c_contiguous
        for i, hits in enumerate(lists):
            assert [struct.pack("<f", s) for s, _ in hits] == [struct.pack("<f", s) for s in scores.tolist()[i]]
            assert [rid for _, rid in hits] == found.tolist()[i]


@pytest.mark.parametrize("store_size", [0, 3])
def test_array_results_of_empty_batches_and_stores(store_size):
    store = tarnix.Vectorstore(2)
    store.insert_many([[1.0, float(i)] for i in range(store_size)], list(range(store_size)))
    scores, found = store.search_many([], 5, as_arrays=True)
    assert scores.shape == found.shape == (0, store_size)
    scores, found = store.search_many([[1.0, 0.0]], 5, as_arrays=True)
    assert scores.shape == found.shape == (1, store_size)


def test_as_arrays_is_a_keyword_only_bool():
    store = tarnix.Vectorstore(1)
    with pytest.raises(TypeError):
        store.search_many([[1.0]], 1, None, True)
    with pytest.raises(TypeError) as info:
        store.search_many([[1.0]], 1, as_arrays=1)
    assert str(info.value) == "argument 'as_arrays': 'int' object is not an instance of 'bool'"
    assert store.search_many([[1.0]], 1, as_arrays=False) == [[]]


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("dim", DIMS)
def test_vectors_and_ids_round_trip(count, dim):
    rows, ids = rows_and_ids(count, dim, seed=4)
    store = one_by_one(dim, rows, ids, lambda row: array.array("f", row))
    vectors, exported = store.vectors(), store.ids()
    assert (vectors.shape, vectors.format, exported.shape, exported.format) == ((count, dim), "f", (count,), "Q")
    assert bytes(vectors) == flat_array("f", rows, dim).tobytes() or dim == 0 or any(
        x != x for row in rows for x in row)  # NaN bits are compared below, against insert
    assert exported.tolist() == ids
    copy = tarnix.Vectorstore(dim)
    copy.insert_many(vectors, exported)
    assert state(copy) == state(store)


def test_exports_are_copies():
    store = tarnix.Vectorstore(2)
    store.insert_many([[1.0, 2.0]], [1])
    vectors = store.vectors()
    vectors[0, 0] = 5.0
    store.insert_many([[3.0, 4.0]], [2])
    assert store.vectors().tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert vectors.tolist() == [[5.0, 2.0]]


@needs_numpy
def test_numpy_wraps_the_results_without_a_copy():
    store = tarnix.Vectorstore(4)
    data = np.arange(400, dtype=np.float32).reshape(100, 4)
    store.insert_many(data, np.arange(100, dtype=np.uint64))
    vectors = store.vectors()
    wrapped = np.asarray(vectors)
    assert wrapped.dtype == np.float32 and wrapped.shape == (100, 4)
    wrapped[0, 0] = -1.0  # writes through: numpy holds the buffer itself
    assert vectors[0, 0] == -1.0
    assert (np.asarray(store.vectors()) == data).all()
    assert np.asarray(store.ids()).dtype == np.uint64
    scores, found = store.search_many(data[:3], 2, as_arrays=True)
    assert np.asarray(scores).dtype == np.float32 and np.asarray(found).dtype == np.uint64


@needs_numpy
def test_a_strided_matrix_goes_row_by_row():
    data = np.arange(60, dtype=np.float64).reshape(6, 10)[:, ::2]
    store, expected = tarnix.Vectorstore(5), tarnix.Vectorstore(5)
    store.insert_many(data, np.arange(6))
    for i, row in enumerate(data):
        expected.insert(row, i)
    assert state(store) == state(expected)


@pytest.mark.parametrize("code", ["f", "d"])
@pytest.mark.parametrize("count", [1, 3, 65])
@pytest.mark.parametrize("dim", [1, 3, 65])
def test_search_many_reads_a_matrix_as_its_rows(code, count, dim):
    rows, ids = rows_and_ids(count, dim, seed=2)
    store = tarnix.Vectorstore(dim, [(row, i) for row, i in zip(rows, ids)])
    queries, _ = rows_and_ids(count, dim, seed=3)
    # Each row as its own buffer takes the general way through the batch.
    expected = answers(store, [array.array(code, q) for q in queries])
    assert answers(store, matrix_view(code, queries, dim)) == expected
    scores, found = store.search_many(matrix_view(code, queries, dim), 7, as_arrays=True)
    assert [[(struct.pack("<f", s), i) for s, i in zip(*pair)] for pair in zip(scores.tolist(), found.tolist())] \
        == expected


@needs_numpy
def test_search_many_matrix_of_another_length_names_the_first_query():
    store = tarnix.Vectorstore(3, [([1.0, 0.0, 0.0], 1)])
    with pytest.raises(ValueError) as from_matrix:
        store.search_many(np.ones((4, 2), np.float32), 1)
    with pytest.raises(ValueError) as from_rows:
        store.search_many([np.ones(2, np.float32)] * 4, 1)
    assert str(from_matrix.value) == str(from_rows.value)

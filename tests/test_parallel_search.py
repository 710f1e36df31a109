import math
import operator
import random

import pytest

import reference
import tarnix
from support import Hook, host_error

NAN = float("nan")
V = [1.0, 2.0]
THREAD_COUNTS = [0, 1, 2, 3, 7, "len", "len+5", None]


def keyed(result):
    """A result with its scores as bit patterns, so that NaN and -0.0 compare exactly."""
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is float and type(item[1]) is int
    return [(reference.bits(s), i) for s, i in result]


def thread_count(choice, count):
    return {"len": count, "len+5": count + 5}.get(choice, choice)


# ------------------------------------------------------- equality with search


def random_records(rng, dim, count):
    """Records with many exact ties: duplicates, small integer components,
    zero vectors and the odd NaN."""
    records = []
    for i in range(count):
        roll = rng.random()
        if records and roll < 0.35:
            vec = list(rng.choice(records)[0])
        elif roll < 0.45:
            vec = [0.0] * dim
        elif roll < 0.52:
            vec = [rng.choice([1.0, NAN]) for _ in range(dim)]
        elif roll < 0.85:
            vec = [float(rng.randint(-2, 2)) for _ in range(dim)]
        else:
            vec = [rng.uniform(-1, 1) for _ in range(dim)]
        records.append((vec, rng.choice([i, i, 7, rng.randrange(2 ** 64)])))
    return records


@pytest.mark.parametrize("count", [1, 2, 10, 11, 300])
@pytest.mark.parametrize("seed", range(3))
def test_random_stores_equal_search(count, seed):
    rng = random.Random(seed * 1000 + count)
    dim = rng.choice([1, 2, 3])
    records = random_records(rng, dim, count)
    store = tarnix.Vectorstore(dim, records[: count // 2])
    for vec, rid in records[count // 2:]:
        store.insert(vec, rid)
    queries = [
        rng.choice(records)[0],
        [float(rng.randint(-2, 2)) for _ in range(dim)],
        [rng.uniform(-1, 1) for _ in range(dim)],
        [0.0] * dim,
        [NAN] + [1.0] * (dim - 1),
    ]
    for query in queries:
        for top_k in sorted({0, 1, count // 2 + 1, count, count + 3, 4294967295}):
            expected = keyed(store.search(query, top_k))
            assert expected == keyed(reference.search(records, query, top_k))
            for choice in THREAD_COUNTS:
                n = thread_count(choice, count)
                assert keyed(store.parallel_search(query, top_k, n)) == expected, (query, top_k, n)
            assert keyed(store.parallel_search(query, top_k)) == expected


# The selection keeps a buffer of 2 * top_k + 256 candidates per range, cut back whenever
# it fills: these are the top_k around where it holds a whole range of 1500, 750 (two
# chunks) or 500 (three), and where it is cut many times.
CUT_TOP_KS = [1, 2, 10, 100, 121, 122, 123, 246, 247, 248, 499, 500, 501, 621, 622, 623,
              749, 750, 751, 1499, 1500, 1501]


@pytest.mark.parametrize("order", ["as drawn", "ascending", "descending"])
def test_every_top_k_equals_the_reference(order):
    rng = random.Random(order)
    components = [-1.0, -0.0, 0.0, 1.0, 2.0]
    records = []
    for i in range(1500):
        vector = [rng.choice(components), rng.choice(components)]
        if rng.random() < 0.03:
            vector[rng.randrange(2)] = NAN
        records.append((vector, rng.choice([i, 7])))
    queries = [[1.0, -0.0], [-0.0, 1.0], [2.0, 1.0], [0.0, 0.0], [NAN, 1.0]]
    if order != "as drawn":
        # In ascending score order every record beats the worst kept so far.
        def score(record):
            value = reference.cosine(queries[2], record[0])
            return (0, 0.0) if math.isnan(value) else (1, value)

        records.sort(key=score, reverse=order == "descending")
    store = tarnix.Vectorstore(2, records)
    for query in queries:
        ranking = keyed(reference.search(records, query, len(records)))
        for top_k in CUT_TOP_KS:
            expected = ranking[:top_k]
            assert keyed(store.search(query, top_k)) == expected, (query, top_k)
            for n_threads in (2, 3, 7):
                assert keyed(store.parallel_search(query, top_k, n_threads)) == expected, (query, top_k, n_threads)


@pytest.mark.parametrize("n_threads", [0, 1, 2, 3, 4, 5, 6, 9, 10, 11, 4294967295, None])
@pytest.mark.parametrize("top_k", [0, 1, 2, 3, 4, 7, 10, 12])
def test_ties_across_chunk_boundaries(n_threads, top_k):
    # 10 records cut by 4 threads into 3, 3, 3, 1: the best scores sit late,
    # ties span every boundary and a NaN lands in the middle of a chunk.
    vectors = [[0.0, 1.0], [1.0, 1.0], [1.0, 0.0], [2.0, 2.0], [NAN, 1.0],
               [1.0, 0.0], [1.0, 1.0], [0.0, 0.0], [3.0, 0.0], [1.0, 1.0]]
    records = [(v, 100 + i) for i, v in enumerate(vectors)]
    store = tarnix.Vectorstore(2, records)
    for query in ([1.0, 1.0], [1.0, 0.0], [-1.0, 0.0], [0.0, 0.0], [NAN, NAN]):
        expected = keyed(reference.search(records, query, top_k))
        assert keyed(store.search(query, top_k)) == expected
        assert keyed(store.parallel_search(query, top_k, n_threads)) == expected


@pytest.mark.parametrize("top_k", [10, 4000])
def test_thousands_of_workers_equal_search(top_k):
    # One worker per record: on a 32-bit build every worker's stack must be small for
    # this many to fit the address space at once.
    store = tarnix.Vectorstore(2, [([1.0, float(i % 97)], i) for i in range(4000)])
    assert store.parallel_search([1.0, 50.0], top_k, 4000) == store.search([1.0, 50.0], top_k)


def test_result_values():
    store = tarnix.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([NAN, 0.0], 3), ([2.0, 0.0], 4),
                                   ([-1.0, 0.0], 5), ([0.0, 0.0], 6)])
    result = store.parallel_search([1.0, 0.0], 6, 4)
    assert [rid for _, rid in result] == [1, 4, 2, 6, 5, 3]
    assert [s for s, _ in result[:5]] == [1.0, 1.0, 0.0, 0.0, -1.0]
    assert result[5][0] != result[5][0]
    assert store.parallel_search([1.0, 0.0], 2, 3) == [(1.0, 1), (1.0, 4)]


# ------------------------------------------------------- optional n_threads


def test_none_and_omitted_n_threads_agree():
    store = tarnix.Vectorstore(1, [([float(i % 3 - 1)], i) for i in range(25)])
    expected = store.search([1.0], 12)
    assert store.parallel_search([1.0], 12) == expected
    assert store.parallel_search([1.0], 12, None) == expected
    assert store.parallel_search([1.0], 12, n_threads=None) == expected
    assert store.parallel_search(n_threads=None, top_k=12, vector=[1.0]) == expected
    assert store.parallel_search(top_k=12, n_threads=3, vector=[1.0]) == expected
    assert store.parallel_search([1.0], n_threads=5, top_k=12) == expected
    assert store.parallel_search(vector=[1.0], top_k=12) == expected


# ------------------------------------------------------- empty store and query length


@pytest.mark.parametrize("n_threads", [0, 1, 8, 2 ** 31, 4294967295, None])
@pytest.mark.parametrize("top_k", [0, 1, 4294967295])
def test_empty_store_returns_nothing(n_threads, top_k):
    store = tarnix.Vectorstore(2)
    assert store.parallel_search([1.0, 2.0], top_k, n_threads) == []


@pytest.mark.parametrize("records", [[], [([1.0, 0.0], 1)]])
@pytest.mark.parametrize("n_threads", [0, 3, 4294967295, None])
def test_query_of_the_wrong_length(records, n_threads):
    store = tarnix.Vectorstore(2, records)
    with pytest.raises(ValueError) as info:
        store.parallel_search([1.0], 1, n_threads)
    assert type(info.value) is ValueError
    assert info.value.args == ("query has length 1 but vectorstore expects 2",)


# ------------------------------------------------------- binding and conversion


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((V, 1, 2, 3), {}, "takes from 2 to 3 positional arguments but 4 were given"),
        ((V, 1, 2, 3, 4), {}, "takes from 2 to 3 positional arguments but 5 were given"),
        ((), {}, "missing 2 required positional arguments: 'vector' and 'top_k'"),
        ((), {"n_threads": 2}, "missing 2 required positional arguments: 'vector' and 'top_k'"),
        ((V,), {}, "missing 1 required positional argument: 'top_k'"),
        ((), {"top_k": 1}, "missing 1 required positional argument: 'vector'"),
        ((V, 1, 2), {"n_threads": 2}, "got multiple values for argument 'n_threads'"),
        ((V, 1, None), {"n_threads": None}, "got multiple values for argument 'n_threads'"),
        ((V, 1), {"threads": 2}, "got an unexpected keyword argument 'threads'"),
        ((), {"n_thread": 2}, "got an unexpected keyword argument 'n_thread'"),
    ],
)
def test_binding_failures(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(2).parallel_search(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == ("Vectorstore.parallel_search() " + message,)


@pytest.mark.parametrize("query", [[1.0, 2.0], [1.0]])  # a bad n_threads beats the length check
@pytest.mark.parametrize("value", ["x", 2.0, [2]])
def test_n_threads_type_error_is_labelled(query, value):
    store = tarnix.Vectorstore(2, [([1.0, 0.0], 1)])
    with pytest.raises(TypeError) as info:
        store.parallel_search(query, 1, value)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'n_threads': %s" % host_error(operator.index, value),)


@pytest.mark.parametrize("value", [-1, 2 ** 64, -2 ** 70])
def test_n_threads_outside_64_bits_is_the_hosts_overflow(value):
    with pytest.raises(OverflowError) as info:
        tarnix.Vectorstore(2).parallel_search([1.0, 2.0], 1, value)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [2 ** 32, 2 ** 63, 2 ** 64 - 1])
def test_n_threads_above_32_bits_overflows(value):
    with pytest.raises(OverflowError) as info:
        tarnix.Vectorstore(2).parallel_search([1.0], 1, value)
    assert type(info.value) is OverflowError
    assert info.value.args == ("out of range integral type conversion attempted",)


@pytest.mark.parametrize("n_threads", ["y", -1, 2 ** 32])
def test_top_k_failure_is_reported_before_n_threads(n_threads):
    store = tarnix.Vectorstore(2)
    with pytest.raises(TypeError) as info:
        store.parallel_search([1.0], "x", n_threads)
    assert info.value.args == ("argument 'top_k': %s" % host_error(operator.index, "x"),)
    with pytest.raises(OverflowError) as info:
        store.parallel_search([1.0], 2 ** 32, n_threads)
    assert info.value.args == ("out of range integral type conversion attempted",)


def test_vector_failure_is_reported_first():
    with pytest.raises(TypeError) as info:
        tarnix.Vectorstore(2).parallel_search("abc", "x", "y")
    assert info.value.args == ("argument 'vector': Can't extract `str` to `Vec`",)


# ------------------------------------------------------- borrowing


@pytest.fixture
def store():
    return tarnix.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2)])


@pytest.mark.parametrize("where", ["vector", "n_threads"])
def test_insert_during_parallel_search_is_refused(store, where):
    hook = Hook(lambda: store.insert([1.0, 1.0], 3), 2.0)
    if where == "vector":
        result = store.parallel_search([hook, 0.0], 5, 2)
    else:
        result = store.parallel_search([1.0, 0.0], 5, hook)
    assert result == [(1.0, 1), (0.0, 2)]
    assert [type(e) for e in hook.errors] == [RuntimeError]
    assert hook.errors[0].args == ("Already borrowed",)
    assert len(store) == 2


def test_borrow_error_propagates_out_of_parallel_search(store):
    class Inserting:
        def __float__(self):
            store.insert([1.0, 1.0], 3)
            return 1.0

    with pytest.raises(RuntimeError) as info:
        store.parallel_search([Inserting(), 0.0], 5, 2)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Already borrowed",)
    assert len(store) == 2
    store.insert([1.0, 1.0], 3)  # the borrow was given back
    assert len(store) == 3


def test_reading_during_parallel_search_is_allowed(store):
    seen = []
    hook = Hook(lambda: seen.append((len(store), repr(store), store.parallel_search([0.0, 1.0], 1, 2))))
    assert store.parallel_search([hook, 0.0], 1, 3) == [(1.0, 1)]
    assert seen == [(2, "Vectorstore(vector_size=2, len=2)", [(1.0, 2)])]
    assert hook.errors == []

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import tarnix

NAN = float("nan")


def check_result(result):
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is float and type(item[1]) is int


def search(store, query, top_k):
    result = store.search(query, top_k)
    check_result(result)
    return result


def ids(result):
    return [rid for _, rid in result]


def same(result, expected):
    return [(reference.bits(s), i) for s, i in result] == [(reference.bits(s), i) for s, i in expected]


@pytest.mark.parametrize("top_k", [0, 1, 5, 4294967295])
def test_empty_store(top_k):
    store = tarnix.Vectorstore(3)
    assert search(store, [1.0, 2.0, 3.0], top_k) == []


@pytest.mark.parametrize(
    "size, query, top_k",
    [(3, [1.0, 2.0], 1), (3, [], 0), (2, [1.0, 2.0, 3.0], 0), (0, [1.0], 5), (2, b"abc", 1)],
)
def test_query_of_the_wrong_length(size, query, top_k):
    store = tarnix.Vectorstore(size, [([0.0] * size, 1)])
    with pytest.raises(ValueError) as info:
        store.search(query, top_k)
    assert type(info.value) is ValueError
    assert info.value.args == ("query has length %d but vectorstore expects %d" % (len(query), size),)


def test_top_k_cuts_the_ranking():
    store = tarnix.Vectorstore(2, [([1.0, 0.0], 10), ([1.0, 1.0], 11), ([0.0, 1.0], 12), ([-1.0, 0.0], 13)])
    q = [1.0, 0.2]
    full = search(store, q, 10)
    assert ids(full) == [10, 11, 12, 13]
    assert [s for s, _ in full] == sorted((s for s, _ in full), reverse=True)
    for k in range(6):
        assert search(store, q, k) == full[:k]
    assert search(store, q, 4294967295) == full
    assert full[-1][0] < 0


def test_identical_vectors_keep_insertion_order():
    store = tarnix.Vectorstore(2)
    store.insert([1.0, 2.0], 7)
    store.insert([1.0, 2.0], 3)
    assert ids(search(store, [1.0, 2.0], 2)) == [7, 3]
    assert ids(search(store, [2.0, 1.0], 1)) == [7]


def test_ties_at_the_cut_keep_the_earliest():
    store = tarnix.Vectorstore(1, [([1.0], i) for i in (9, 8, 7)])
    store.insert([2.0], 6)
    store.insert([-1.0], 5)
    assert search(store, [1.0], 2) == [(1.0, 9), (1.0, 8)]
    assert search(store, [-3.0], 5) == [(1.0, 5), (-1.0, 9), (-1.0, 8), (-1.0, 7), (-1.0, 6)]


def test_zero_vectors():
    store = tarnix.Vectorstore(2, [([0.0, 0.0], 1), ([1.0, 0.0], 2), ([0.0, 0.0], 3), ([-1.0, 0.0], 4)])
    assert search(store, [1.0, 0.0], 4) == [(1.0, 2), (0.0, 1), (0.0, 3), (-1.0, 4)]
    result = search(store, [0.0, 0.0], 3)
    assert result == [(0.0, 1), (0.0, 2), (0.0, 3)]
    assert all(math.copysign(1.0, s) == 1.0 for s, _ in result)


def test_positive_and_negative_zero_tie():
    store = tarnix.Vectorstore(2)
    store.insert([1.0, -0.0], 1)  # scores -0.0 against the query below
    store.insert([1.0, 0.0], 2)  # scores +0.0
    store.insert([1.0, -0.0], 3)  # -0.0 again
    store.insert([0.0, 1.0], 4)  # 1.0
    store.insert([0.0, -1.0], 5)  # -1.0
    result = search(store, [-0.0, 1.0], 5)
    assert ids(result) == [4, 1, 2, 3, 5]
    assert [math.copysign(1.0, s) for s, _ in result] == [1.0, -1.0, 1.0, -1.0, -1.0]


def test_nan_query_keeps_insertion_order():
    store = tarnix.Vectorstore(2, [([float(i), 1.0], i) for i in (5, 3, 9, 1)])
    result = search(store, [NAN, 1.0], 3)
    assert ids(result) == [5, 3, 9]
    assert all(math.isnan(s) for s, _ in result)


def test_nan_scores_come_after_ordinary_scores():
    store = tarnix.Vectorstore(2)
    store.insert([NAN, 1.0], 1)
    store.insert([1.0, 0.0], 2)
    store.insert([1.0, NAN], 3)
    store.insert([-1.0, 0.0], 4)
    store.insert([0.0, 0.0], 5)
    store.insert([float("inf"), 0.0], 6)  # infinite dot product and norm
    result = search(store, [1.0, 0.0], 6)
    assert ids(result) == [2, 5, 4, 1, 3, 6]
    assert [s for s, _ in result[:3]] == [1.0, 0.0, -1.0]
    assert all(math.isnan(s) for s, _ in result[3:])
    assert ids(search(store, [1.0, 0.0], 4)) == [2, 5, 4, 1]


def test_largest_ids_come_back_unchanged():
    store = tarnix.Vectorstore(1, [([1.0], 2 ** 64 - 1), ([1.0], 0), ([1.0], 2 ** 63)])
    assert search(store, [1.0], 3) == [(1.0, 2 ** 64 - 1), (1.0, 0), (1.0, 2 ** 63)]


@pytest.mark.parametrize("query", [(1.0, 0.0), b"\x01\x00", range(1, -1, -1), [True, False]])
def test_query_forms(query):
    store = tarnix.Vectorstore(2, [([0.0, 1.0], 1), ([1.0, 0.0], 2)])
    assert search(store, query, 2) == [(1.0, 2), (0.0, 1)]


def test_top_k_forms():
    store = tarnix.Vectorstore(1, [([1.0], 1), ([1.0], 2)])

    class K:
        def __index__(self):
            return 1

    assert search(store, [1.0], True) == [(1.0, 1)]
    assert search(store, [1.0], K()) == [(1.0, 1)]
    assert search(store, [1.0], top_k=False) == []


@pytest.mark.parametrize(
    "top_k, exc_type",
    [(-1, OverflowError), (4294967296, OverflowError), ("1", TypeError), (None, TypeError), (1.0, TypeError)],
)
def test_top_k_failures_come_before_the_query_check(top_k, exc_type):
    store = tarnix.Vectorstore(2)
    with pytest.raises(exc_type) as info:
        store.search([1.0], top_k)
    if exc_type is TypeError:
        assert str(info.value).startswith("argument 'top_k': ")


def test_only_the_first_bad_argument_is_reported():
    store = tarnix.Vectorstore(2)
    with pytest.raises(TypeError) as info:
        store.search("abc", "x")
    assert str(info.value) == "argument 'vector': Can't extract `str` to `Vec`"


def test_scores_equal_the_function():
    rng = random.Random(5)
    vectors = [[rng.uniform(-1, 1) for _ in range(5)] for _ in range(40)]
    store = tarnix.Vectorstore(5, [(v, i) for i, v in enumerate(vectors)])
    q = [rng.uniform(-1, 1) for _ in range(5)]
    for score, rid in search(store, q, 40):
        assert score == tarnix.cosine_similarity(q, vectors[rid])


# --------------------------------------------------- differential against the reference


def random_value(rng):
    roll = rng.random()
    if roll < 0.05:
        return 0.0
    if roll < 0.08:
        return -0.0
    if roll < 0.10:
        return NAN
    if roll < 0.12:
        return rng.choice([1e20, -1e20, 1e-23])
    if roll < 0.40:
        return float(rng.randint(-3, 3))
    return rng.uniform(-2, 2)


def random_records(rng, dim, count):
    records = []
    for i in range(count):
        roll = rng.random()
        if records and roll < 0.3:
            vec = list(rng.choice(records)[0])  # an exact duplicate
        elif records and roll < 0.4:
            vec = [2.0 * x for x in rng.choice(records)[0]]  # same direction
        elif roll < 0.5:
            vec = [0.0] * dim
        elif roll < 0.55:
            vec = [rng.choice([0.0, -0.0]) for _ in range(dim)]
        else:
            vec = [random_value(rng) for _ in range(dim)]
        records.append((vec, rng.choice([i, rng.randrange(2 ** 64), 7])))
    return records


@pytest.mark.parametrize("dim", [0, 1, 3, 8, 17])
@pytest.mark.parametrize("seed", range(6))
def test_random_stores_match_the_reference(dim, seed):
    rng = random.Random(seed * 100 + dim)
    records = random_records(rng, dim, rng.randint(0, 60))
    split = rng.randint(0, len(records))
    store = tarnix.Vectorstore(dim, records[:split])
    for vec, rid in records[split:]:
        store.insert(vec, rid)
    assert len(store) == len(records)
    queries = [rng.choice(records)[0] if records else [0.0] * dim for _ in range(3)]
    queries += [[random_value(rng) for _ in range(dim)] for _ in range(4)]
    queries += [[0.0] * dim, [NAN] * dim]
    for query in queries:
        for top_k in (0, 1, 3, len(records), len(records) + 5):
            expected = reference.search(records, query, top_k)
            assert same(search(store, query, top_k), expected)


@st.composite
def stores(draw):
    dim = draw(st.integers(0, 4))
    small = st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 0.5, NAN])
    vec = st.lists(small, min_size=dim, max_size=dim)
    records = draw(st.lists(st.tuples(vec, st.integers(0, 2 ** 64 - 1)), max_size=12))
    return dim, records, draw(vec), draw(st.integers(0, 14))


@settings(max_examples=150, deadline=None)
@given(stores())
def test_small_stores_match_the_reference(case):
    dim, records, query, top_k = case
    store = tarnix.Vectorstore(dim, records)
    assert same(search(store, query, top_k), reference.search(records, query, top_k))

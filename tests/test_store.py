from array import array

import pytest

import tarnix
from support import Hook


def length_error(length, size):
    return "vector has length %d but vectorstore expects %d" % (length, size)


@pytest.mark.parametrize("args", [(3,), (3, None), (3, []), (3, ())])
def test_new_store_is_empty(args):
    store = tarnix.Vectorstore(*args)
    assert len(store) == 0
    assert store.vector_size == 3
    assert repr(store) == "Vectorstore(vector_size=3, len=0)"


def test_initial_records():
    store = tarnix.Vectorstore(2, [([1.0, 2.0], 1), ([3.0, 4.0], 2)])
    assert len(store) == 2
    assert repr(store) == "Vectorstore(vector_size=2, len=2)"
    assert str(store) == repr(store)


@pytest.mark.parametrize(
    "size, vectors, message",
    [
        (2, [([1.0, 2.0], 1), ([1.0], 2)], length_error(1, 2)),
        (2, [([1.0], 1), ([1.0, 2.0, 3.0], 2)], length_error(1, 2)),
        (2, [([1.0, 2.0], 1), ([1.0, 2.0, 3.0], 2), ([], 3)], length_error(3, 2)),
        (0, [([], 1), ([0.0], 2)], length_error(1, 0)),
        (3, [([], 1)], length_error(0, 3)),
        (4294967295, [([1.0], 1)], length_error(1, 4294967295)),
    ],
)
def test_initial_vector_of_the_wrong_length(size, vectors, message):
    # only the first offending vector is named
    with pytest.raises(ValueError) as info:
        tarnix.Vectorstore(size, vectors)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_insert_appends_and_returns_none():
    store = tarnix.Vectorstore(2)
    assert store.insert([1.0, 0.0], 1) is None
    assert store.insert((0.0, 1.0), 2) is None
    assert len(store) == 2
    assert repr(store) == "Vectorstore(vector_size=2, len=2)"


def test_truth_value_follows_the_length():
    store = tarnix.Vectorstore(1)
    assert not store
    store.insert([1.0], 1)
    assert store


def test_duplicate_ids_are_both_kept():
    store = tarnix.Vectorstore(2)
    store.insert([1.0, 0.0], 5)
    store.insert([0.0, 1.0], 5)
    assert len(store) == 2
    assert store.search([1.0, 1.0], 5) == [
        (0.7071067690849304, 5),
        (0.7071067690849304, 5),
    ]


@pytest.mark.parametrize(
    "size, vector",
    [(2, [1.0, 2.0, 3.0]), (2, [1.0]), (2, []), (0, [1.0]), (1, b"ab"), (4294967295, [0.0])],
)
def test_insert_of_the_wrong_length(size, vector):
    store = tarnix.Vectorstore(size, [([0.5] * size, 1)] if size < 10 else None)
    before = len(store)
    with pytest.raises(ValueError) as info:
        store.insert(vector, 2)
    assert info.value.args == (length_error(len(vector), size),)
    assert len(store) == before


def test_zero_dimensional_store():
    store = tarnix.Vectorstore(0)
    store.insert([], 5)
    store.insert((), 6)
    store.insert(b"", 7)
    assert len(store) == 3
    assert repr(store) == "Vectorstore(vector_size=0, len=3)"
    assert store.search([], 10) == [(0.0, 5), (0.0, 6), (0.0, 7)]


def test_stored_vectors_are_copies():
    source = [1.0, 0.0]
    store = tarnix.Vectorstore(2, [(source, 1)])
    store.insert(source, 2)
    source[:] = [0.0, 1.0]
    assert store.search([1.0, 0.0], 2) == [(1.0, 1), (1.0, 2)]


def test_many_inserts():
    store = tarnix.Vectorstore(3)
    for i in range(2000):
        store.insert([float(i), 1.0, -1.0], i)
    assert len(store) == 2000
    assert repr(store) == "Vectorstore(vector_size=3, len=2000)"
    assert [rid for _, rid in store.search([0.0, 1.0, -1.0], 3)] == [0, 1, 2]


def test_largest_vector_size():
    store = tarnix.Vectorstore(4294967295)
    assert store.vector_size == 4294967295
    assert repr(store) == "Vectorstore(vector_size=4294967295, len=0)"


def test_records_too_long_for_a_block_of_them_are_stored():
    # On a 32-bit build a block of 64 records of this length would not fit the address
    # space, but a few records do: they are stored and searched like any others.
    size = 2 ** 24 + 1
    ones = array("f", [1.0]) * size
    store = tarnix.Vectorstore(size, [(ones, 9)])
    store.insert(ones, 3)
    assert repr(store) == "Vectorstore(vector_size=16777217, len=2)"
    expected = [(tarnix.cosine_similarity(ones, ones), 9), (tarnix.cosine_similarity(ones, ones), 3)]
    assert store.search(ones, 5) == expected
    assert store.parallel_search(ones, 5, 2) == expected
    with pytest.raises(ValueError) as info:
        store.insert([1.0], 4)
    assert info.value.args == (length_error(1, size),)


# ------------------------------------------------------------ re-entrant use


@pytest.fixture
def store():
    return tarnix.Vectorstore(2, [([1.0, 0.0], 1)])


def readers(store):
    return {
        "len": lambda: len(store),
        "repr": lambda: repr(store),
        "vector_size": lambda: store.vector_size,
        "search": lambda: store.search([1.0, 0.0], 1),
    }


@pytest.mark.parametrize("reader", ["len", "repr", "vector_size", "search"])
def test_reading_during_insert_is_refused(store, reader):
    hook = Hook(readers(store)[reader])
    store.insert([hook, 0.0], 2)
    assert [type(e) for e in hook.errors] == [RuntimeError]
    assert hook.errors[0].args == ("Already mutably borrowed",)
    # the outer insert completes and the store is free again
    assert len(store) == 2
    assert repr(store) == "Vectorstore(vector_size=2, len=2)"


def test_insert_during_insert_is_refused(store):
    hook = Hook(lambda: store.insert([0.0, 1.0], 3))
    store.insert([0.0, hook], 2)
    assert [e.args for e in hook.errors] == [("Already borrowed",)]
    assert len(store) == 2
    assert [rid for _, rid in store.search([1.0, 1.0], 5)] == [1, 2]


def test_insert_during_search_is_refused(store):
    hook = Hook(lambda: store.insert([0.0, 1.0], 3))
    assert store.search([hook, 0.0], 5) == [(1.0, 1)]
    assert [e.args for e in hook.errors] == [("Already borrowed",)]
    assert len(store) == 1


def test_reading_during_search_is_allowed(store):
    seen = []
    hook = Hook(lambda: seen.append((len(store), repr(store), store.vector_size, store.search([1.0, 0.0], 1))))
    assert store.search([hook, 0.0], 1) == [(1.0, 1)]
    assert seen == [(1, "Vectorstore(vector_size=2, len=1)", 2, [(1.0, 1)])]
    assert hook.errors == []


def test_cosine_during_insert_is_allowed(store):
    seen = []
    hook = Hook(lambda: seen.append(tarnix.cosine_similarity([3.0, 4.0], [3.0, 4.0])))
    store.insert([hook, 1.0], 2)
    assert seen == [1.0]


def test_borrow_error_propagates_from_an_element(store):
    class Propagating:
        def __float__(self):
            return float(len(store))

    with pytest.raises(RuntimeError) as info:
        store.insert([Propagating(), 0.0], 2)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Already mutably borrowed",)
    assert len(store) == 1
    store.insert([0.0, 1.0], 2)
    assert len(store) == 2


def test_borrow_error_from_the_id(store):
    class Id:
        def __index__(self):
            return len(store)

    with pytest.raises(RuntimeError) as info:
        store.insert([0.0, 1.0], Id())
    assert str(info.value) == "Already mutably borrowed"
    assert len(store) == 1


def test_borrow_error_from_iteration(store):
    class Vector:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            return 0.0

        def __iter__(self):
            store.search([1.0, 0.0], 1)
            return iter([0.0, 1.0])

    with pytest.raises(RuntimeError) as info:
        store.insert(Vector(), 2)
    assert str(info.value) == "Already mutably borrowed"
    assert len(store) == 1


def test_failing_length_hint_is_only_a_hint(store):
    # the length is asked for while the store is held, and its failure is ignored
    class Vector:
        def __len__(self):
            return len(store)

        def __getitem__(self, i):
            return 0.0

        def __iter__(self):
            return iter([0.0, 1.0])

    store.insert(Vector(), 2)
    assert len(store) == 2


def test_failed_conversions_give_the_store_back(store):
    for bad in ("ab", None, [1.0, "x"], [[1.0]]):
        with pytest.raises(TypeError):
            store.insert(bad, 2)
        with pytest.raises(TypeError):
            store.search(bad, 1)
    with pytest.raises(ValueError):
        store.insert([1.0], 2)
    with pytest.raises(ValueError):
        store.search([1.0], 1)
    store.insert([0.0, 1.0], 2)
    assert len(store) == 2


class LyingLength(list):
    """A list of pairs, iterated, whose __len__ claims another count."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


@pytest.mark.parametrize(
    "container", [list, tuple, lambda pairs: LyingLength(pairs, 3), lambda pairs: LyingLength(pairs, 10**6)]
)
def test_initial_records_past_whole_blocks_equal_inserted_ones(container):
    rows = [([((i * 7 + j) % 11) - 5.0 for j in range(5)], i % 37) for i in range(150)]
    built = tarnix.Vectorstore(5, container(rows))
    grown = tarnix.Vectorstore(5)
    for vector, rid in rows:
        grown.insert(vector, rid)
    assert len(built) == 150
    for query in ([1.0, 0.0, 2.0, -1.0, 0.5], [0.0] * 5):
        assert built.search(query, 150) == grown.search(query, 150)



@pytest.mark.parametrize("right_length", [0, 1])
def test_initial_records_reserve_room_only_for_checked_vectors(run_python, right_length):
    # 1024 pairs of this dimension would fill 256 MiB of blocks, but only the first
    # `right_length` of them has a vector of that length. The peak of the address space
    # shows what was reserved, even if it was never touched.
    result = run_python(
        """
        import tarnix

        def peak_kib():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmPeak:"))

        dimension = 2 ** 16
        pairs = [([0.5] * dimension, 0)] * %d + [([1.0], i) for i in range(%d)]
        before = peak_kib()
        try:
            tarnix.Vectorstore(dimension, pairs)
        except ValueError as exc:
            print(exc)
        print((peak_kib() - before) // 1024)
        """ % (right_length, 1024 - right_length)
    )
    assert result.returncode == 0, result.stderr
    message, grown_mib = result.stdout.splitlines()
    assert message == length_error(1, 2 ** 16)
    assert int(grown_mib) < 32

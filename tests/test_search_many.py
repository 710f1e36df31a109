"""search_many: every query's answer is search()'s, element for element and bit for bit,
whatever the batch, its form, the thread count and the kernel path; its conversions and
errors; the borrow it holds while it scores without the interpreter lock."""
import array
import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import reference
import tarnix
from support import IS_PYPY, Hook

NAN = float("nan")
BATCH_SIZES = [0, 1, 2, 3, 7, 64, 65, 200]
THREADS = [None, 0, 1, 2, 7]


def keyed(result):
    """A result with its scores as bit patterns, so that NaN and -0.0 compare exactly."""
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is float and type(item[1]) is int
    return [(reference.bits(s), i) for s, i in result]


def keyed_batch(results):
    assert type(results) is list
    return [keyed(result) for result in results]


def random_vector(rng, dim, records=()):
    """Duplicates of records, zero vectors, ±0, NaN, small integers (exact ties) and the rest."""
    roll = rng.random()
    if records and roll < 0.3:
        return list(rng.choice(records)[0])
    if roll < 0.4:
        return [0.0] * dim
    if roll < 0.45:
        return [rng.choice([1.0, NAN]) for _ in range(dim)]
    if roll < 0.85:
        return [float(rng.choice([-2, -1, -0.0, 0, 1, 2])) for _ in range(dim)]
    return [rng.uniform(-1, 1) for _ in range(dim)]


def seeded_store(seed, dim, count):
    rng = random.Random(seed)
    records = []
    for i in range(count):
        records.append((random_vector(rng, dim, records), rng.choice([i, i, 7, rng.randrange(2 ** 64)])))
    # Half built at once, half inserted, as stores grow both ways.
    store = tarnix.Vectorstore(dim, records[: count // 2])
    for vec, rid in records[count // 2:]:
        store.insert(vec, rid)
    return rng, records, store


# ------------------------------------------------------- equality with search


# Store sizes around the block of 64 records, so that some records wait in the tail.
@pytest.mark.parametrize("batch", BATCH_SIZES)
@pytest.mark.parametrize("dim, count", [(0, 65), (1, 63), (7, 200), (9, 64), (33, 130), (130, 1)])
def test_every_query_equals_search(batch, dim, count):
    rng, records, store = seeded_store(batch * 1000 + dim, dim, count)
    queries = [random_vector(rng, dim, records) for _ in range(batch)]
    for top_k in (0, 1, 10, count + 1):
        expected = [keyed(store.search(q, top_k)) for q in queries]
        for n_threads in THREADS:
            assert keyed_batch(store.search_many(queries, top_k, n_threads)) == expected, (top_k, n_threads)
    assert keyed_batch(store.search_many(queries, 3)) == [keyed(store.search(q, 3)) for q in queries]


def test_search_agrees_with_the_reference_on_these_stores():
    # What the equality above rests on: search() itself gives the reference's answer here.
    rng, records, store = seeded_store(5, 7, 130)
    for _ in range(20):
        query = random_vector(rng, 7, records)
        assert keyed(store.search(query, 20)) == keyed(reference.search(records, query, 20))


def test_an_empty_batch_or_store():
    _, _, store = seeded_store(1, 3, 100)
    assert store.search_many([], 5) == []
    assert store.search_many((), 5, 2) == []
    empty = tarnix.Vectorstore(3)
    assert empty.search_many([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]], 5, 7) == [[], []]
    assert empty.search_many([], 5) == []


def test_every_entry_is_a_list_of_its_own():
    store = tarnix.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2)])
    query = [1.0, 0.0]
    results = store.search_many([query, query], 1)
    assert results == [[(1.0, 1)], [(1.0, 1)]]
    assert results[0] is not results[1]


CHILD = r"""
import json, sys
import tarnix

failures = []
for dim, records, queries in json.loads(sys.stdin.read()):
    store = tarnix.Vectorstore(dim, [(v, i) for v, i in records])
    for top_k in (1, 10, len(records) + 1):
        expected = [store.search(q, top_k) for q in queries]
        for n_threads in (0, 1, 2, 7):
            got = store.search_many(queries, top_k, n_threads)
            if repr(got) != repr(expected):
                failures.append([dim, len(records), top_k, n_threads])
print(json.dumps(failures))
"""


@pytest.mark.parametrize("kernel", ["scalar", "sse2", "avx2", "avx-vnni", "avx512-vnni"])
def test_each_kernel_path_equals_its_search(kernel):
    # Scores compare through repr, which tells -0.0 and every float bit apart (NaN is
    # spelt nan, as search's NaN is the same NaN).
    rng = random.Random(kernel)
    cases = []
    for dim, count in [(1, 63), (5, 64), (9, 65), (17, 200), (33, 129), (130, 70)]:
        records = []
        for i in range(count):
            records.append((random_vector(rng, dim, records), i % 50))
        cases.append((dim, records, [random_vector(rng, dim, records) for _ in range(rng.choice([3, 7, 65]))]))
    env = dict(os.environ, TARNIX_KERNEL=kernel)
    child = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(cases), env=env,
                           capture_output=True, text=True)
    if child.returncode != 0 and "which this processor cannot run" in child.stderr:
        pytest.skip("this processor does not run " + kernel)
    if child.returncode != 0 and "which is not a kernel path" in child.stderr:
        pytest.skip("this build has no " + kernel + " path")
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == []


# ------------------------------------------------------- the forms of a batch


@pytest.fixture(scope="module")
def rows():
    rng = random.Random(9)
    return [[rng.uniform(-1, 1) for _ in range(5)] for _ in range(9)] + [[0.0] * 5, [NAN, 1.0, 0.0, -0.0, 2.0]]


@pytest.fixture(scope="module")
def store5():
    _, _, store = seeded_store(3, 5, 150)
    return store


def test_sequences_of_sequences(rows, store5):
    expected = keyed_batch(store5.search_many(rows, 10))
    assert expected == [keyed(store5.search(r, 10)) for r in rows]
    assert keyed_batch(store5.search_many(tuple(tuple(r) for r in rows), 10)) == expected
    assert keyed_batch(store5.search_many([array.array("f", r) for r in rows], 10)) == expected
    assert keyed_batch(store5.search_many([memoryview(array.array("d", r)) for r in rows], 10)) == expected
    assert keyed_batch(store5.search_many(vectors=rows, top_k=10, n_threads=None)) == expected


def test_numpy_batches(rows, store5):
    np = pytest.importorskip("numpy")
    wide = np.array(rows, dtype=np.float64)
    wide[0, 0] = 1e-46  # a float64 that rounds to float32 zero, as the general way rounds it
    narrow = wide.astype(np.float32)
    for batch in (narrow, wide):
        expected = [keyed(store5.search(list(map(float, r)), 10)) for r in batch]
        assert keyed_batch(store5.search_many(batch, 10, 2)) == expected
        assert keyed_batch(store5.search_many(list(batch), 10)) == expected
        # Not C-contiguous: copied as the general way copies.
        fortran = np.asfortranarray(batch)
        assert not fortran.flags.c_contiguous
        assert keyed_batch(store5.search_many(fortran, 10)) == expected
        assert keyed_batch(store5.search_many(batch[::2], 10)) == expected[::2]
        padded = np.zeros((len(batch), 10), dtype=batch.dtype)
        padded[:, ::2] = batch
        assert keyed_batch(store5.search_many(padded[:, ::2], 10)) == expected
    assert store5.search_many(np.zeros((0, 5), dtype=np.float32), 3) == []


# ------------------------------------------------------- errors


@pytest.fixture
def store():
    return tarnix.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2)])


def batch_error(store, vectors, *rest):
    with pytest.raises(Exception) as info:
        store.search_many(vectors, *rest)
    return type(info.value), str(info.value)


def number_item(index, name):
    return (TypeError, "argument 'vectors': a batch is a sequence of vectors, but item %d is a number ('%s')"
            % (index, name))


ONE_DIMENSIONAL = (TypeError, "argument 'vectors': a batch is a sequence of vectors, not a one-dimensional buffer")


@pytest.mark.parametrize("vectors, expected", [
    ([1.0, 0.0], number_item(0, "float")),
    ([[1.0, 0.0], 3], number_item(1, "int")),
    (b"\x01\x02", number_item(0, "int")),
    (array.array("f", [1.0, 0.0]), ONE_DIMENSIONAL),
    (array.array("d", []), ONE_DIMENSIONAL),
    (memoryview(array.array("f", [1.0, 0.0])), ONE_DIMENSIONAL),
    ("ab", (TypeError, "argument 'vectors': Can't extract `str` to `Vec`")),
    ([[1.0, 0.0], "ab"], (TypeError, "argument 'vectors': Can't extract `str` to `Vec`")),
    (None, (TypeError, "argument 'vectors': 'None' is not an instance of 'Sequence'")),
    ({1: [1.0, 0.0]}, (TypeError, "argument 'vectors': 'dict' object is not an instance of 'Sequence'")),
    ([[1.0, 0.0], None], (TypeError, "argument 'vectors': 'None' is not an instance of 'Sequence'")),
    ([{1.0, 0.0}], (TypeError, "argument 'vectors': 'set' object is not an instance of 'Sequence'")),
])
def test_what_is_not_a_batch(store, vectors, expected):
    assert batch_error(store, vectors, 1) == expected


def test_one_dimensional_numpy_arrays_are_refused(store):
    np = pytest.importorskip("numpy")
    assert batch_error(store, np.array([1.0, 0.0], dtype=np.float32), 1) == ONE_DIMENSIONAL
    assert batch_error(store, np.array([], dtype=np.float64), 1) == ONE_DIMENSIONAL
    assert batch_error(store, np.array([1, 0]), 1) == number_item(0, "int64")


def test_an_element_that_is_not_a_float_fails_as_in_search(store):
    with pytest.raises(TypeError) as info:
        store.search([1.0, "x"], 1)
    single = str(info.value)
    assert single.startswith("argument 'vector': ")
    expected = (TypeError, "argument 'vectors': " + single[len("argument 'vector': "):])
    assert batch_error(store, [[1.0, 0.0], [1.0, "x"]], 1) == expected


def test_the_first_query_of_the_wrong_length_is_named(store):
    good, short, long = [1.0, 0.0], [1.0], [1.0, 2.0, 3.0]
    assert batch_error(store, [good, long, short], 1) == (ValueError, "query 1 has length 3 but vectorstore expects 2")
    assert batch_error(store, [short], 0) == (ValueError, "query 0 has length 1 but vectorstore expects 2")
    assert batch_error(tarnix.Vectorstore(2), [good, good, []], 1) == (
        ValueError, "query 2 has length 0 but vectorstore expects 2")


def test_every_query_is_converted_before_any_length_is_checked(store):
    hook_calls = []
    hook = Hook(lambda: hook_calls.append(1))
    # A conversion failure after a query of the wrong length is the one reported...
    assert batch_error(store, [[1.0], [1.0, "ab"]], 1)[0] is TypeError
    assert batch_error(store, [[1.0], "ab"], 1) == (TypeError, "argument 'vectors': Can't extract `str` to `Vec`")
    # ...and so are the other arguments' failures.
    assert batch_error(store, [[1.0]], -1)[0] is OverflowError
    assert batch_error(store, [[1.0]], 1, "x")[1].startswith("argument 'n_threads': ")
    # Every query is converted, those after a bad one included.
    assert batch_error(store, [[1.0], [hook, 0.0]], 1)[0] is ValueError
    assert hook_calls == [1]


def test_arguments_bind_as_for_the_other_methods(store):
    assert batch_error(store, [[1.0, 0.0]], "x")[1].startswith("argument 'top_k': ")
    with pytest.raises(TypeError) as info:
        store.search_many()
    assert str(info.value) == "Vectorstore.search_many() missing 2 required positional arguments: 'vectors' and 'top_k'"
    with pytest.raises(TypeError) as info:
        store.search_many([], 1, 2, 3)
    assert str(info.value) == "Vectorstore.search_many() takes from 2 to 3 positional arguments but 4 were given"
    with pytest.raises(TypeError) as info:
        store.search_many([], 1, vector=[])
    assert str(info.value) == "Vectorstore.search_many() got an unexpected keyword argument 'vector'"
    assert store.search_many(top_k=1, vectors=[[1.0, 0.0]], n_threads=0) == [[(1.0, 1)]]


# ------------------------------------------------------- borrowing


def test_insert_while_converting_is_refused(store):
    hook = Hook(lambda: store.insert([1.0, 1.0], 3), 2.0)
    assert store.search_many([[1.0, 0.0], [hook, 0.0]], 5) == [[(1.0, 1), (0.0, 2)]] * 2
    assert [e.args for e in hook.errors] == [("Already borrowed",)]
    assert len(store) == 2
    store.insert([1.0, 1.0], 3)  # the borrow was given back
    assert len(store) == 3


def test_insert_from_another_thread_during_the_call_is_refused(store):
    # The caller stays in its hook until the other thread has tried its insert: the
    # store is borrowed from before the first conversion to the end of the call.
    borrowed, tried = threading.Event(), threading.Event()
    errors = []

    def hold():
        borrowed.set()
        assert tried.wait(60)

    def other():
        borrowed.wait(60)
        try:
            store.insert([1.0, 1.0], 3)
        except RuntimeError as exc:
            errors.append(exc.args)
        tried.set()

    thread = threading.Thread(target=other)
    thread.start()
    hook = Hook(hold)
    assert store.search_many([[hook, 0.0]], 1) == [[(1.0, 1)]]
    thread.join()
    assert errors == [("Already borrowed",)]
    assert len(store) == 2


def refusals_while_another_thread_scores(store, queries):
    """How many inserts this thread saw refused while another thread was in search_many.

    With a switch interval longer than the test, the interpreter lock changes hands only
    when its holder gives it up. The other thread sets `started` and enters search_many
    without giving it up, so this thread runs again only once the call gives up the lock
    to score; from then on, whenever this thread holds the lock, the other one is either
    still in the call (which cannot return without the lock), or done. Each insert while
    it is not done must find the store borrowed."""
    started = threading.Event()
    state = {"done": False, "refusals": 0}

    def search():
        started.set()
        state["result"] = store.search_many(queries, 1, 1)
        state["done"] = True

    before = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=search)
        thread.start()
        assert started.wait(60)
        while not state["done"]:
            with pytest.raises(RuntimeError) as info:
                store.insert(queries[0], 0)
            assert info.value.args == ("Already borrowed",)
            state["refusals"] += 1
            time.sleep(0.0005)  # gives up the lock, so that the call can return
    finally:
        sys.setswitchinterval(before)
    thread.join()
    assert state["result"] == [store.search(q, 1) for q in queries]
    return state["refusals"]


@pytest.mark.skipif(IS_PYPY, reason="PyPy's threads do not hand over the lock on these terms")
def test_the_lock_is_released_while_scoring():
    # Were the lock kept, this thread would only run again once the call had returned,
    # and see no refusal. A call that scores for less time than this thread takes to
    # wake may return before it runs; larger stores make that ever less likely.
    row = [1.0] * 32
    queries = [row] * 256
    refusals = 0
    for count in (4_000, 40_000, 400_000):
        store = tarnix.Vectorstore(32, [(row, i) for i in range(count)])
        refusals = refusals_while_another_thread_scores(store, queries)
        assert len(store) == count
        if refusals:
            break
    assert refusals > 0


def test_reading_from_the_hook_is_allowed(store):
    seen = []
    hook = Hook(lambda: seen.append((len(store), store.search_many([[0.0, 1.0]], 1, 2))))
    assert store.search_many([[hook, 0.0]], 1, 2) == [[(1.0, 1)]]
    assert seen == [(2, [[(1.0, 2)]])]
    assert hook.errors == []


def read_system_calls():
    with open("/proc/self/io") as counters:
        return next(int(line.split()[1]) for line in counters if line.startswith("syscr:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="no per-process I/O counters here")
def test_a_batch_asks_the_processor_count_without_reading_files_each_time():
    # Reading the control-group files on every call cost a small batch 59 times its work.
    store = tarnix.Vectorstore(2, [([1.0, float(i)], i) for i in range(10)])
    store.search_many([[1.0, 0.0]], 3, None)
    before = read_system_calls()
    for _ in range(200):
        store.search_many([[1.0, 0.0]], 3, None)
    assert read_system_calls() - before < 50

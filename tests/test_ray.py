"""tarnix_ray: the sharded store against one store, bit for bit; saved, loaded, and after actors die."""
import functools
import math
import os
import struct

import pytest

import tarnix
from support import IS_PYPY

try:
    import numpy as np
    import ray
    import tarnix_ray
    from tarnix_ray import _directory
    from tarnix_ray._merge import merge_top_k
except ImportError:
    np = ray = tarnix_ray = None

D = 5
NO_RAY_MESSAGE = "tarnix_ray needs Ray and numpy: install them with pip install 'tarnix[ray]'"


def _ray_or_skip():
    if IS_PYPY:
        pytest.skip("Ray has no PyPy build: tarnix_ray runs on CPython only")
    # CI installs Ray and requires these tests; elsewhere they are optional.
    if tarnix_ray is None and os.environ.get("TARNIX_REQUIRE_RAY") != "1":
        pytest.skip("Ray or numpy is not installed (pip install 'tarnix[ray]')")
    assert tarnix_ray is not None, "TARNIX_REQUIRE_RAY=1 but tarnix_ray cannot be imported"


@pytest.fixture(scope="module")
def cluster():
    _ray_or_skip()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
    yield
    ray.shutdown()


@pytest.fixture
def needs_ray():
    _ray_or_skip()


def test_import_without_ray_names_the_extra(run_python):
    proc = run_python("""
        import sys
        sys.modules["ray"] = None
        try:
            import tarnix_ray
        except ImportError as exc:
            print(exc)
        """)
    assert (proc.returncode, proc.stdout) == (0, NO_RAY_MESSAGE + "\n"), proc.stderr


def records(count, seed):
    """Vectors of -1, 0 and 1 (many equal scores, and -0.0 ones), some random ones, zero
    vectors (score 0) and vectors with a NaN (score NaN); repeated ids, and large ones."""
    rng = np.random.default_rng(seed)
    vectors = rng.integers(-1, 2, size=(count, D)).astype(np.float32)
    drawn = rng.random(count)
    vectors[drawn < 0.3] = rng.standard_normal((int((drawn < 0.3).sum()), D), dtype=np.float32)
    vectors[(drawn >= 0.3) & (drawn < 0.4)] = 0
    vectors[(drawn >= 0.4) & (drawn < 0.45), 0] = np.nan
    # One of each whatever the count: a NaN, a score of -0.0 for the last query, a zero vector.
    vectors[count // 4, 0] = np.nan
    vectors[count // 2] = [-1, 0, -1, -1, -1]
    vectors[count - 1] = 0
    ids = rng.integers(0, max(count // 2, 1), size=count, dtype=np.uint64)
    ids[::7] = np.uint64(2**64 - 1) - ids[::7]
    return vectors, ids


def queries(seed):
    rng = np.random.default_rng(seed)
    return np.concatenate([
        rng.integers(-1, 2, size=(6, D)).astype(np.float32),
        rng.standard_normal((3, D), dtype=np.float32),
        np.zeros((1, D), np.float32),
        np.full((1, D), np.nan, np.float32),
        np.array([[0, -1, 0, 0, 0]], np.float32),
    ])


def fill(store, vectors, ids):
    """Records in five runs, each through another route: insert_many of float32 rows and
    uint64 ids, insert one by one, insert_many of lists, of float32 rows and int64 ids (the
    ids halved to fit), then of float64 rows."""
    n = len(vectors)
    a, b, c, d, e, f = (0, n // 5, 2 * n // 5, 3 * n // 5, 4 * n // 5, n)
    store.insert_many(vectors[a:b], ids[a:b])
    for i in range(b, c):
        store.insert(vectors[i].tolist(), int(ids[i]))
    store.insert_many(vectors[c:d].tolist(), ids[c:d].tolist())
    store.insert_many(vectors[d:e], (ids[d:e] >> np.uint64(1)).astype(np.int64))
    store.insert_many(vectors[e:f].astype(np.float64), ids[e:f])
    return store


def reference_of(vectors, ids):
    return fill(tarnix.Vectorstore(D), vectors, ids)


def hit_bits(hits):
    return [(struct.pack("<d", score), id) for score, id in hits]


def array_bits(result):
    scores, ids = (np.asarray(a) for a in result)
    return scores.shape, scores.dtype, scores.view(np.uint32).tolist(), ids.dtype, ids.tolist()


def assert_same_answers(sharded, one, top_ks, qs):
    for top_k in top_ks:
        assert array_bits(sharded.search_many(qs, top_k, as_arrays=True)) == \
            array_bits(one.search_many(qs, top_k, as_arrays=True)), top_k
        assert [hit_bits(h) for h in sharded.search_many(qs.tolist(), top_k)] == \
            [hit_bits(h) for h in one.search_many(qs.tolist(), top_k)], top_k
        for q in qs[::3]:
            assert hit_bits(sharded.search(q, top_k)) == hit_bits(one.search(q, top_k)), top_k


def _ranks_before(x, y):
    # The store's candidate order, as its comparison states it: higher score first, NaN
    # after every number, equal scores (+0.0 and -0.0 too) and NaNs in record order.
    def better(a, b):
        return not math.isnan(a) and (math.isnan(b) or a > b)
    if better(x[0], y[0]) or better(y[0], x[0]):
        return -1 if better(x[0], y[0]) else 1
    return -1 if x[1] < y[1] else (1 if x[1] > y[1] else 0)


@pytest.mark.parametrize("seed", range(5))
def test_merge_orders_as_the_stores_comparison(needs_ray, seed):
    rng = np.random.default_rng(seed)
    pool = np.array([np.nan, -np.nan, 0.0, -0.0, np.inf, -np.inf, 1.0, -1.0, 1e-45, -1e-45, 0.5], np.float32)
    parts, rows = [], 3
    position = 0
    for width in rng.integers(0, 6, size=4):
        scores = rng.choice(pool, size=(rows, width))
        positions = np.arange(position, position + width, dtype=np.uint64)
        position += width
        # Each shard's own rows in the store's order, as a shard answers.
        ranked = [sorted(zip(row.tolist(), positions.tolist()), key=functools.cmp_to_key(_ranks_before))
                  for row in scores]
        parts.append((np.array([[s for s, _ in r] for r in ranked], np.float32).reshape(rows, width),
                       np.array([[i for _, i in r] for r in ranked], np.uint64).reshape(rows, width)))
    for top_k in (0, 1, 3, position, position + 2):
        scores, ids = merge_top_k(parts, top_k, rows)
        for row in range(rows):
            every = [(float(s), int(i)) for s, i, in zip(np.concatenate([p[0][row] for p in parts]),
                                                        np.concatenate([p[1][row] for p in parts]))]
            expected = sorted(every, key=functools.cmp_to_key(_ranks_before))[:top_k]
            assert [struct.pack("<f", s) for s, _ in expected] == [struct.pack("<f", s) for s in scores[row]]
            assert [i for _, i in expected] == ids[row].tolist()


@pytest.mark.parametrize("capacity", [1, 3, 7, 64, 100, 299, 300])
def test_merged_local_chunks_answer_as_one_store(needs_ray, capacity):
    # The merge alone, on stores in this process: chunks of the records searched one by
    # one and merged give the whole store's answer.
    vectors, ids = records(300, seed=capacity)
    one = tarnix.Vectorstore(D)
    one.insert_many(vectors, ids)
    chunks = []
    for start in range(0, 300, capacity):
        chunk = tarnix.Vectorstore(D)
        chunk.insert_many(vectors[start:start + capacity], ids[start:start + capacity])
        chunks.append(chunk)
    qs = queries(seed=capacity)
    for top_k in (0, 1, 10, capacity + 1, 300, 301):
        parts = [tuple(np.asarray(a) for a in c.search_many(qs, top_k, as_arrays=True)) for c in chunks]
        assert array_bits(merge_top_k(parts, top_k, len(qs))) == array_bits(one.search_many(qs, top_k, as_arrays=True))


# Record counts that keep the actors few: 4, 4, 3 and 3 shards.
LAYOUTS = [(1, 4), (7, 25), (64, 150), (1000, 2100)]


@pytest.fixture(scope="module", params=LAYOUTS, ids=["capacity %d" % c for c, _ in LAYOUTS])
def layout(request, cluster):
    capacity, count = request.param
    vectors, ids = records(count, seed=capacity)
    sharded = fill(tarnix_ray.ShardedVectorstore(D, shard_capacity=capacity), vectors, ids)
    return capacity, sharded, reference_of(vectors, ids)


def test_layout_fills_shards_in_order(layout):
    capacity, sharded, one = layout
    assert len(sharded) == len(one)
    assert sharded.shard_count == -(-len(one) // capacity)
    assert sharded.vector_size == D and sharded.shard_capacity == capacity
    assert repr(sharded) == "ShardedVectorstore(vector_size=5, len=%d, shard_capacity=%d)" % (len(one), capacity)


def test_answers_are_one_stores_bit_for_bit(layout):
    capacity, sharded, one = layout
    n = len(one)
    # Below, at and above a shard, cuts across shard borders, the whole store and past it.
    top_ks = sorted({0, 1, 10, capacity, capacity + 1, n // 2 + 1, n, n + 5})
    assert_same_answers(sharded, one, top_ks, queries(seed=capacity))


def test_the_data_has_ties_zeros_and_nan(layout):
    # What the test above must see for its agreement to mean something.
    capacity, _, one = layout
    scores = np.asarray(one.search_many(queries(seed=capacity), len(one), as_arrays=True)[0])
    assert np.isnan(scores).any() and (np.signbit(scores) & (scores == 0)).any() and (scores == 0).any()
    assert any(len(np.unique(row[~np.isnan(row)])) < (~np.isnan(row)).sum() for row in scores)


def test_empty_store_answers_as_an_empty_store(cluster):
    sharded, one = tarnix_ray.ShardedVectorstore(D, shard_capacity=3), tarnix.Vectorstore(D)
    assert (len(sharded), sharded.shard_count) == (0, 0)
    assert_same_answers(sharded, one, [0, 5], queries(seed=1))
    assert array_bits(sharded.search_many(np.zeros((0, D), np.float32), 4, as_arrays=True)) == \
        array_bits(one.search_many(np.zeros((0, D), np.float32), 4, as_arrays=True))


def _both(call):
    try:
        call()
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("no exception")


Q = [1.0, 0.0, 2.0, 0.0, 1.0]


@pytest.fixture(scope="module")
def small(cluster):
    vectors, ids = records(10, seed=3)
    return fill(tarnix_ray.ShardedVectorstore(D, shard_capacity=4), vectors, ids), reference_of(vectors, ids)


@pytest.mark.parametrize("call", [
    lambda s: s.search([1.0, 2.0], 3),
    lambda s: s.search("abcde", 3),
    lambda s: s.search(Q, -1),
    lambda s: s.search(Q, 2**64),
    lambda s: s.search_many([Q, [1.0]], 3),
    lambda s: s.search_many(Q, 3),
    lambda s: s.search_many([Q], 3, as_arrays=1),
    lambda s: s.insert([1.0], 1),
    lambda s: s.insert(Q, -1),
    lambda s: s.insert(Q, 2**64),
    lambda s: s.insert_many([Q, Q], [1]),
    lambda s: s.insert_many([Q, [1.0]], [1, 2]),
    lambda s: s.insert_many(np.zeros((2, 4), np.float32), np.arange(2, dtype=np.uint64)),
    lambda s: s.insert_many(np.zeros((2, D), np.float32), np.array([1, -1], np.int64)),
    lambda s: s.insert_many(np.zeros((2, D), np.float32), np.arange(3, dtype=np.uint64)),
], ids=lambda call: "")
def test_bad_calls_raise_what_the_store_raises_and_change_nothing(small, call):
    sharded, one = small
    assert _both(lambda: call(sharded)) == _both(lambda: call(one))
    assert len(sharded) == len(one)
    assert_same_answers(sharded, one, [10], queries(seed=3)[:2])


@pytest.mark.parametrize("arguments, error", [
    ((-1,), OverflowError),
    (("3",), TypeError),
    ((3,), None),
])
def test_constructor_checks_as_the_store_does(needs_ray, arguments, error):
    if error is None:
        with pytest.raises(ValueError, match="^shard_capacity must be at least 1$"):
            tarnix_ray.ShardedVectorstore(*arguments, shard_capacity=0)
        return
    assert _both(lambda: tarnix_ray.ShardedVectorstore(*arguments)) == _both(lambda: tarnix.Vectorstore(*arguments))


@pytest.mark.parametrize("mmap", [False, True])
def test_save_and_load_answer_as_before(cluster, tmp_path, mmap):
    vectors, ids = records(40, seed=4)
    sharded = fill(tarnix_ray.ShardedVectorstore(D, shard_capacity=16), vectors, ids)
    target = tmp_path / "store"
    sharded.save(target)
    assert sorted(os.listdir(target)) == ["manifest.json", "shard-00000.tnx", "shard-00001.tnx", "shard-00002.tnx"]
    loaded = tarnix_ray.ShardedVectorstore.load(target, mmap=mmap)
    assert (len(loaded), loaded.shard_count, loaded.shard_capacity) == (40, 3, 16)
    one = reference_of(vectors, ids)
    assert_same_answers(loaded, one, [0, 7, 17, 50], queries(seed=4))
    # Inserts after a load go on filling the last shard, then new ones.
    more, more_ids = records(20, seed=5)
    loaded.insert_many(more, more_ids)
    one.insert_many(more, more_ids)
    assert loaded.shard_count == 4
    assert_same_answers(loaded, one, [60], queries(seed=5))
    # Saved again over the directory it was loaded from, whose files it may have mapped.
    loaded.save(target)
    assert_same_answers(tarnix_ray.ShardedVectorstore.load(target), one, [60], queries(seed=5))
    assert os.listdir(tmp_path) == ["store"]


def test_a_failed_save_leaves_the_previous_directory(cluster, tmp_path, monkeypatch):
    vectors, ids = records(12, seed=6)
    sharded = fill(tarnix_ray.ShardedVectorstore(D, shard_capacity=5), vectors, ids)
    target = tmp_path / "store"
    sharded.save(target)
    sharded.insert_many(vectors, ids)

    def fail(*arguments):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_directory, "write_manifest", fail)
    with pytest.raises(OSError, match="No space left"):
        sharded.save(target)
    assert os.listdir(tmp_path) == ["store"]
    assert len(tarnix_ray.ShardedVectorstore.load(target)) == 12


@pytest.mark.parametrize("swaps", [True, False], ids=["exchanged in one step", "renamed aside"])
def test_replace_directory(needs_ray, tmp_path, monkeypatch, swaps):
    if not swaps:
        monkeypatch.setattr(_directory, "_exchange", lambda a, b: False)
    target = tmp_path / "target"
    for generation in ("old", "new"):
        fresh = _directory.fresh_directory_beside(str(target))
        with open(os.path.join(fresh, "manifest.json"), "w") as out:
            out.write(generation)
        _directory.replace_directory(fresh, str(target))
        assert (target / "manifest.json").read_text() == generation
        assert os.listdir(tmp_path) == ["target"]


def test_save_replaces_only_a_store_directory(cluster, tmp_path):
    sharded = tarnix_ray.ShardedVectorstore(D, shard_capacity=5)
    sharded.insert(Q, 1)
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("keep")
    (tmp_path / "file").write_text("keep")
    with pytest.raises(FileExistsError):
        sharded.save(tmp_path / "other")
    with pytest.raises(NotADirectoryError):
        sharded.save(tmp_path / "file")
    assert (tmp_path / "other" / "notes.txt").read_text() == (tmp_path / "file").read_text() == "keep"
    assert sorted(os.listdir(tmp_path)) == ["file", "other"]


@pytest.mark.parametrize("manifest, message", [
    ("{", "not JSON"),
    ('{"format": "x"}', 'no "format"'),
    ('{"format": "tarnix_ray sharded store", "version": 2}', "has format version 2"),
    ('{"format": "tarnix_ray sharded store", "version": 1, "vector_size": 5, "shard_capacity": 0, "shards": []}',
     "out of range"),
    ('{"format": "tarnix_ray sharded store", "version": 1, "vector_size": 5, "shard_capacity": 4,'
     ' "shards": [{"file": "../x.tnx", "records": 4}]}', "shard 0 is not"),
    ('{"format": "tarnix_ray sharded store", "version": 1, "vector_size": 5, "shard_capacity": 4,'
     ' "shards": [{"file": "shard-00000.tnx", "records": 3}, {"file": "shard-00001.tnx", "records": 1}]}',
     "do not fill shards of 4 in order"),
])
def test_load_refuses_a_bad_manifest(needs_ray, tmp_path, manifest, message):
    (tmp_path / "manifest.json").write_text(manifest)
    with pytest.raises(ValueError, match=message):
        tarnix_ray.ShardedVectorstore.load(tmp_path)


def test_load_refuses_shard_files_that_disagree(cluster, tmp_path):
    vectors, ids = records(10, seed=7)
    fill(tarnix_ray.ShardedVectorstore(D, shard_capacity=6), vectors, ids).save(tmp_path / "s")
    tarnix.Vectorstore(D).save(str(tmp_path / "s" / "shard-00001.tnx"))
    with pytest.raises(ValueError, match="shard-00001.tnx holds 0 records but the manifest says 4$"):
        tarnix_ray.ShardedVectorstore.load(tmp_path / "s")
    (tmp_path / "s" / "shard-00000.tnx").write_bytes(b"not a store")
    with pytest.raises(ValueError):
        tarnix_ray.ShardedVectorstore.load(tmp_path / "s")


def _kill(sharded, index, **options):
    ray.kill(sharded._shards[index].actor, **options)


@pytest.mark.parametrize("saved", [False, True], ids=["never saved", "saved, then more inserts"])
def test_a_killed_actor_is_rebuilt_and_answers_whole(cluster, tmp_path, saved):
    vectors, ids = records(30, seed=8)
    sharded = tarnix_ray.ShardedVectorstore(D, shard_capacity=8)
    one = tarnix.Vectorstore(D)
    for store in (sharded, one):
        store.insert_many(vectors[:20], ids[:20])
    if saved:
        sharded.save(tmp_path / "s")
    for store in (sharded, one):
        store.insert_many(vectors[20:], ids[20:])
    # A shard of the saved file alone, one of the file and later records, one of later records alone.
    for index in (0, 2, 3):
        _kill(sharded, index)
    assert_same_answers(sharded, one, [3, 30], queries(seed=8))
    # An actor killed before an insert reaches it gets the insert by the replay.
    _kill(sharded, 3)
    for store in (sharded, one):
        store.insert_many(vectors[:5], ids[:5])
    assert_same_answers(sharded, one, [35], queries(seed=8))


def test_an_actor_that_ray_restarted_empty_is_rebuilt(cluster):
    vectors, ids = records(12, seed=9)
    sharded = tarnix_ray.ShardedVectorstore(D, shard_capacity=5, actor_options={"max_restarts": 1})
    sharded.insert_many(vectors, ids)
    _kill(sharded, 1, no_restart=False)
    one = tarnix.Vectorstore(D)
    one.insert_many(vectors, ids)
    assert_same_answers(sharded, one, [12], queries(seed=9))


def test_a_shard_that_cannot_be_rebuilt_fails_every_call(cluster, tmp_path):
    vectors, ids = records(12, seed=10)
    sharded = tarnix_ray.ShardedVectorstore(D, shard_capacity=5)
    sharded.insert_many(vectors, ids)
    sharded.save(tmp_path / "s")
    (tmp_path / "s" / "shard-00001.tnx").rename(tmp_path / "aside")
    _kill(sharded, 1)
    for _ in range(2):
        with pytest.raises(tarnix_ray.ShardLostError, match="^shard 1 was lost [(]its actor died[)] and could not be "
                           "rebuilt from .*shard-00001.tnx and the 0 runs of records sent since: "
                           "FileNotFoundError: .*No such file or directory"):
            sharded.search(Q, 12)
    with pytest.raises(tarnix_ray.ShardLostError):
        sharded.save(tmp_path / "t")
    assert sorted(os.listdir(tmp_path)) == ["aside", "s"]
    # With its file back, the shard is rebuilt and the store answers whole again.
    (tmp_path / "aside").rename(tmp_path / "s" / "shard-00001.tnx")
    one = tarnix.Vectorstore(D)
    one.insert_many(vectors, ids)
    assert_same_answers(sharded, one, [12], queries(seed=10))

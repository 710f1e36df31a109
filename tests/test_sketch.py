"""The sketch: with it, every search gives the exhaustive search's bits and order."""
import json
import pickle
import os
import random
import subprocess
import sys

import pytest

import reference
import sketch_workload
import tarnix


def keyed(results):
    return [[(reference.bits(score), rid) for score, rid in result] for result in results]


CASES = sketch_workload.store_cases()


@pytest.mark.parametrize("case", CASES, ids=[f"{c[0]}-dim{c[1]}" for c in CASES])
def test_searches_with_a_sketch_give_the_exhaustive_bits(case):
    _, dim, records, queries, top_ks = case
    store = tarnix.Vectorstore(dim, records)
    plain = keyed(sketch_workload.results(store, queries, top_ks))
    store.build_sketch()
    assert store.has_sketch
    assert keyed(sketch_workload.results(store, queries, top_ks)) == plain
    store.drop_sketch()
    assert not store.has_sketch
    assert keyed(sketch_workload.results(store, queries, top_ks)) == plain


def test_the_sketch_follows_inserts_drops_and_rebuilds():
    rng = random.Random(3)
    dim = 11
    records = [(sketch_workload.gaussian(rng, dim), i) for i in range(64 * 6 + 9)]
    records[100] = (sketch_workload.special(rng, dim, 1), 100)
    records[200] = (records[5][0], 200)
    queries = sketch_workload.queries_for(rng, dim, records)
    reference_store = tarnix.Vectorstore(dim, records)
    plain = keyed(sketch_workload.results(reference_store, queries, [1, 4, 10, 40]))

    store = tarnix.Vectorstore(dim)
    store.build_sketch()  # on an empty store, then grown record by record through blocks and the tail
    for vec, rid in records:
        store.insert(vec, rid)
    assert keyed(sketch_workload.results(store, queries, [1, 4, 10, 40])) == plain

    half = tarnix.Vectorstore(dim, records[:150])
    half.build_sketch()
    half.build_sketch()  # a second build changes nothing
    for vec, rid in records[150:]:
        half.insert(vec, rid)
    assert keyed(sketch_workload.results(half, queries, [1, 4, 10, 40])) == plain
    half.drop_sketch()
    half.drop_sketch()
    half.build_sketch()
    assert keyed(sketch_workload.results(half, queries, [1, 4, 10, 40])) == plain


def test_a_batch_gives_each_query_its_own_answer_when_queries_share_blocks_or_give_up():
    # Half the records crowd within one bound of a vector, so a query at it keeps too many
    # and falls back to the exhaustive scan, while the others prune; 150 queries near one
    # record keep records of the same blocks, more than one tile of queries per block.
    rng = random.Random(23)
    dim = 24
    crowd = sketch_workload.gaussian(rng, dim)
    records = []
    for i in range(64 * 40 + 21):
        vec = [x + rng.uniform(-1e-4, 1e-4) for x in crowd] if i % 2 else sketch_workload.gaussian(rng, dim)
        records.append((vec, i))
    target = records[64 * 7 + 2][0]
    queries = [[x + rng.gauss(0.0, 0.05) for x in target] for _ in range(150)]
    queries += [crowd, sketch_workload.special(rng, dim, 1)] + sketch_workload.queries_for(rng, dim, records)
    plain = tarnix.Vectorstore(dim, records)
    sketched = tarnix.Vectorstore(dim, records)
    sketched.build_sketch()
    for top_k in (1, 10, 64):
        for threads in (1, 2):
            expected = keyed(plain.search_many(queries, top_k, threads))
            assert keyed(sketched.search_many(queries, top_k, threads)) == expected
            assert keyed([plain.search(q, top_k) for q in queries]) == expected


def test_a_failed_insert_leaves_the_sketch_in_step():
    store = tarnix.Vectorstore(2, [([1.0, 0.0], 1)] * 70)
    store.build_sketch()
    with pytest.raises(ValueError):
        store.insert([1.0], 2)
    store.insert([0.0, 1.0], 3)
    assert store.search([0.0, 1.0], 1) == [(1.0, 3)]


def test_the_surface():
    store = tarnix.Vectorstore(2)
    assert store.has_sketch is False
    assert store.build_sketch() is None
    assert store.has_sketch is True
    assert store.drop_sketch() is None
    with pytest.raises(AttributeError):
        store.has_sketch = True
    with pytest.raises(TypeError, match=r"build_sketch\(\)"):
        store.build_sketch(1)
    with pytest.raises(TypeError, match=r"drop_sketch\(\)"):
        store.drop_sketch(x=1)


CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import sketch_workload, tarnix
mismatches = []
for name, dim, records, queries, top_ks in sketch_workload.store_cases():
    store = tarnix.Vectorstore(dim, records)
    top_ks = top_ks[:12]
    plain = sketch_workload.results(store, queries, top_ks, threads=(2,))
    store.build_sketch()
    sketched = sketch_workload.results(store, queries, top_ks, threads=(2,))
    if repr(plain) != repr(sketched):
        mismatches.append(name + str(dim))
print(json.dumps(mismatches))
"""


@pytest.mark.parametrize("kernel", ["scalar", "sse2", "avx2", "avx-vnni", "avx512-vnni"])
def test_every_kernel_path_gives_the_exhaustive_bits(kernel):
    env = dict(os.environ, TARNIX_KERNEL=kernel)
    here = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run([sys.executable, "-c", CHILD, here], env=env, capture_output=True, text=True)
    if child.returncode != 0 and "which this processor cannot run" in child.stderr:
        pytest.skip("this processor does not run " + kernel)
    if child.returncode != 0 and "which is not a kernel path" in child.stderr:
        pytest.skip("this build has no " + kernel + " path")
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == []


@pytest.mark.parametrize("already", [0, 60, 64])
def test_insert_many_keeps_the_sketch_current(already):
    rng = random.Random(already)
    rows = [[rng.gauss(0, 1) for _ in range(7)] for _ in range(already + 150)]
    sketched, plain = tarnix.Vectorstore(7), tarnix.Vectorstore(7)
    for store in (sketched, plain):
        store.insert_many(rows[:already], list(range(already)))
    sketched.build_sketch()
    for store in (sketched, plain):
        store.insert_many(rows[already:], list(range(already, len(rows))))
    for query in rows[::17]:
        for top_k in (1, 10, len(rows)):
            assert sketched.search(query, top_k) == plain.search(query, top_k)


def _saved_and_loaded(store, tmp_path, how):
    if how == "pickle":
        return pickle.loads(pickle.dumps(store, 5))
    path = tmp_path / "store.tnx"
    store.save(path)
    return tarnix.Vectorstore.load(path, mmap=how == "mmap")


@pytest.mark.parametrize("how", ["load", "mmap", "pickle"])
@pytest.mark.parametrize("sketched", [False, True])
def test_a_saved_store_comes_back_with_its_sketch_and_answers(tmp_path, how, sketched):
    _, dim, records, queries, top_ks = CASES[4]  # gaussian, special rows sprinkled in, with a tail
    store = tarnix.Vectorstore(dim, records)
    plain = keyed(sketch_workload.results(store, queries, top_ks))
    if sketched:
        store.build_sketch()
    loaded = _saved_and_loaded(store, tmp_path, how)
    assert loaded.has_sketch is sketched
    assert keyed(sketch_workload.results(loaded, queries, top_ks)) == plain
    # The rebuilt sketch follows later inserts as a built one does.
    extra = [(sketch_workload.gaussian(random.Random(5), dim), 10**6 + i) for i in range(70)]
    for vec, rid in extra:
        loaded.insert(vec, rid)
        store.insert(vec, rid)
    store.drop_sketch()
    assert keyed(sketch_workload.results(loaded, queries, top_ks)) == keyed(
        sketch_workload.results(store, queries, top_ks)
    )


def test_the_sketch_flag_is_the_only_change_to_the_file(tmp_path):
    store = tarnix.Vectorstore(3, [([1.0, 2.0, float(i)], i) for i in range(70)])
    store.save(tmp_path / "plain.tnx")
    store.build_sketch()
    store.save(tmp_path / "flagged.tnx")
    plain, flagged = (tmp_path / "plain.tnx").read_bytes(), (tmp_path / "flagged.tnx").read_bytes()
    # The flag's bit at byte 104 and the header's checksum; the records' sections are as before.
    assert len(plain) == len(flagged)
    differing = [i for i, (a, b) in enumerate(zip(plain, flagged)) if a != b]
    assert differing[0] == 104 and flagged[104] == 1
    assert all(120 <= i < 128 for i in differing[1:])

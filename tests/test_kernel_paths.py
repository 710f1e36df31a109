"""Every kernel this processor offers gives the reference's bits and order.

Each kernel is forced in a child process through TARNIX_KERNEL; a path that this
processor cannot run, or a name that is no path at all, fails the import. The stores end inside a block of
records, and no dimension is a multiple of a lane width, so every partial step of the
vectorised scoring is exercised, through both searches.
"""

import json
import os
import random
import subprocess
import sys

import pytest

import reference

NAN = float("nan")
DIMS = (1, 7, 9, 33, 130)
COUNTS = (1, 63, 65, 200)

CHILD = r"""
import json, sys
import tarnix

results = []
for dim, records, queries, top_ks in json.loads(sys.stdin.read()):
    records = [(vec, rid) for vec, rid in records]
    store = tarnix.Vectorstore(dim, records[: len(records) // 2])
    for vec, rid in records[len(records) // 2:]:
        store.insert(vec, rid)
    for query in queries:
        for top_k in top_ks:
            results.append(store.search(query, top_k))
            results.append(store.parallel_search(query, top_k, 3))
print(json.dumps(results))
"""


def random_vector(rng, dim):
    roll = rng.random()
    if roll < 0.05:
        return [0.0] * dim
    vec = [rng.gauss(0.0, 1.0) for _ in range(dim)]
    if roll < 0.08:
        vec[rng.randrange(dim)] = NAN
    elif roll < 0.3:
        vec = [float(round(x)) for x in vec]  # small integers: exact ties
    return vec


def workload():
    rng = random.Random(2026)
    cases = []
    for dim in DIMS:
        for count in COUNTS:
            records = [(random_vector(rng, dim), rng.randrange(2 ** 64)) for _ in range(count)]
            records += [records[rng.randrange(count)] for _ in range(count // 10)]  # duplicates tie
            queries = [records[0][0], random_vector(rng, dim), [0.0] * dim]
            cases.append((dim, records, queries, (1, 10, len(records) + 1)))
    return cases


@pytest.fixture(scope="module")
def expected():
    cases = workload()
    results = []
    for _, records, queries, top_ks in cases:
        for query in queries:
            full = reference.search(records, query, len(records))
            for top_k in top_ks:
                results += [full[:top_k]] * 2  # search, then parallel_search
    return cases, results


def keyed(result):
    return [(reference.bits(score), rid) for score, rid in result]


@pytest.mark.parametrize("kernel", ["scalar", "sse2", "avx2", "avx-vnni", "avx512-vnni"])
def test_each_kernel_matches_the_reference(kernel, expected):
    cases, results = expected
    env = dict(os.environ, TARNIX_KERNEL=kernel)
    child = subprocess.run(
        [sys.executable, "-c", CHILD], input=json.dumps(cases), env=env, capture_output=True, text=True
    )
    if child.returncode != 0 and "which this processor cannot run" in child.stderr:
        pytest.skip("this processor does not run " + kernel)
    if child.returncode != 0 and "which is not a kernel path" in child.stderr:
        pytest.skip("this build has no " + kernel + " path")
    assert child.returncode == 0, child.stderr
    got = json.loads(child.stdout)
    assert len(got) == len(results)
    for index, (result, want) in enumerate(zip(got, results)):
        assert keyed(result) == keyed(want), index


def test_a_kernel_name_that_is_no_path_fails_the_import(run_python):
    proc = run_python("import tarnix", TARNIX_KERNEL="avx512")
    assert proc.returncode != 0
    paths = "scalar, sse2, avx2, avx-vnni" + (", avx512-vnni" if sys.maxsize > 2**32 else "")
    assert proc.stderr.rstrip().splitlines()[-1] == (
        f'RuntimeError: TARNIX_KERNEL names "avx512", which is not a kernel path ({paths})'
    )

"""Per-call cost of crossing into tarnix from Python, on the running interpreter.

    python bench/boundary.py [--repeats N]      prints one JSON object: call -> seconds

Small stores, so that the time is the call's, not the arithmetic's: what it costs to
hand a vector over and to get the result list back. Each figure is the median, over
`repeats` rounds, of the mean time of a batch of calls (after a warm-up, which on PyPy
lets the JIT compile the loop). bench/run.sh runs it on each interpreter in turn.
"""

import argparse
import json
import random
import statistics
import time
from array import array

import tarnix


def vectors(count, d, seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) for _ in range(d)] for _ in range(count)]


def per_call(function, calls, repeats):
    for _ in range(calls):  # warm-up
        function()
    means = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        means.append((time.perf_counter() - start) / calls)
    return statistics.median(means)


def insert_cost(d, make_vector, calls, repeats):
    """Per record: a fresh store each round, so every round inserts the same records."""
    rows = [make_vector(v) for v in vectors(calls, d, seed=d)]
    means = []
    for round_index in range(repeats + 1):
        store = tarnix.Vectorstore(d)
        start = time.perf_counter()
        for i, row in enumerate(rows):
            store.insert(row, i)
        if round_index:  # the first round is the warm-up
            means.append((time.perf_counter() - start) / calls)
    return statistics.median(means)


def build_cost(d, calls, repeats):
    """Per record, building a store from a list of (list, id) pairs."""
    pairs = [(v, i) for i, v in enumerate(vectors(calls, d, seed=d + 1))]
    means = []
    for round_index in range(repeats + 1):
        start = time.perf_counter()
        tarnix.Vectorstore(d, pairs)
        if round_index:
            means.append((time.perf_counter() - start) / calls)
    return statistics.median(means)


def measure(repeats):
    store = tarnix.Vectorstore(16, [(v, i) for i, v in enumerate(vectors(64, 16, seed=1))])
    query = vectors(1, 16, seed=2)[0]
    query_array = array("f", query)
    query_tuple = tuple(query)
    calls = 2000
    figures = {
        "search(list16, 1)": per_call(lambda: store.search(query, 1), calls, repeats),
        "search(list16, 10)": per_call(lambda: store.search(query, 10), calls, repeats),
        "search(list16, 100)": per_call(lambda: store.search(query, 100), calls, repeats),
        "search(tuple16, 10)": per_call(lambda: store.search(query_tuple, 10), calls, repeats),
        "search(array('f'), 10)": per_call(lambda: store.search(query_array, 10), calls, repeats),
        "cosine_similarity(list16, list16)": per_call(
            lambda: tarnix.cosine_similarity(query, query), calls, repeats),
    }
    for d in (128, 768):
        records = 4000 if d == 128 else 1000
        figures[f"insert(list), D = {d}"] = insert_cost(d, list, records, repeats)
        figures[f"insert(tuple), D = {d}"] = insert_cost(d, tuple, records, repeats)
        figures[f"insert(array('f')), D = {d}"] = insert_cost(d, lambda v: array("f", v), records, repeats)
        figures[f"Vectorstore(d, pairs), D = {d}"] = build_cost(d, records, repeats)
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    print(json.dumps(measure(args.repeats)))


if __name__ == "__main__":
    main()

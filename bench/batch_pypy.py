"""The batch rows on the 32-bit PyPy, which has no numpy: search_many (one thread) beside
a loop of search, in turn, on stores built from array('f') rows. Writes its rows as JSON
for benchmark.py to show beside the others.

    pypy3 bench/batch_pypy.py --out JSON [--quick]
"""
import argparse
import array
import gc
import json
import os
import random
import statistics
import time

import tarnix

K = 10
SIZES = {"full": [(1_000_000, 128), (200_000, 768)], "quick": [(20_000, 128), (5_000, 768)]}
QUERY_COUNTS = {"full": [100, 1000], "quick": [20, 100]}
REPEATS = {"full": 3, "quick": 2}
LOOPED = 100  # a loop of single searches costs the same per query whatever the batch


def rows_of(count, d, rng):
    return [array.array("f", [rng.random() - 0.5 for _ in range(d)]) for _ in range(count)]


def measure(n, d, query_counts, repeats):
    rng = random.Random(n + d)
    store = tarnix.Vectorstore(d)
    for i in range(n):
        store.insert(array.array("f", [rng.random() - 0.5 for _ in range(d)]), i)
    systems = [("tarnix search_many", 1, lambda Q: store.search_many(Q, K, 1)),
               ("tarnix search loop", 1, lambda Q: [store.search(q, K) for q in Q[:LOOPED]])]
    rows = []
    for count in query_counts:
        Q = rows_of(count, d, rng)
        assert store.search_many(Q[:LOOPED], K, 1) == [store.search(q, K) for q in Q[:LOOPED]]
        print(f"  PyPy batch {n:,}×{d}, Q = {count}: {repeats} repetitions in turn", flush=True)
        spent = [[] for _ in systems]
        loads = [os.getloadavg()[0]]
        for _ in range(repeats):
            for (system, _, run), times in zip(systems, spent):
                gc.collect()
                start = time.perf_counter_ns()
                run(Q)
                elapsed = time.perf_counter_ns() - start
                times.append(elapsed / (min(count, LOOPED) if system == "tarnix search loop" else count))
            loads.append(os.getloadavg()[0])
        loop = statistics.median(spent[1])
        for (system, threads, _), times in zip(systems, spent):
            rows.append({"system": system + " (32-bit PyPy)", "threads": threads, "n": n, "d": d,
                         "queries": count, "ms_per_query": statistics.median(times) / 1e6,
                         "ms_per_query_min": min(times) / 1e6, "ms_per_query_max": max(times) / 1e6,
                         "repeats": repeats, "load_average": [round(x, 2) for x in loads],
                         "ratio_search_loop": statistics.median(times) / loop})
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    rows = []
    for n, d in SIZES[mode]:
        rows += measure(n, d, QUERY_COUNTS[mode], REPEATS[mode])
        gc.collect()
    with open(args.out, "w") as out:
        json.dump(rows, out, indent=1)


if __name__ == "__main__":
    main()

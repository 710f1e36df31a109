"""Bulk rows: insert_many of a numpy array beside a numpy copy of it, a loop of insert and
faiss IndexIDMap(IndexFlatIP).add_with_ids (and usearch's add, which builds its graph
whatever the search, once on a tenth of the rows); and search_many(..., as_arrays=True), with an
upper bound on the share of the call that building its arrays takes. The systems take
turns, repetition by repetition; each row reports the median and the spread.

    python bench/bulk.py [--quick] --out JSON
"""
import argparse
import gc
import json
import os
import statistics
import time

import numpy as np
import tarnix

SIZES = {"full": {"insert": (200_000, 384), "search": (100_000, 128, 10_000)},
         "quick": {"insert": (20_000, 384), "search": (10_000, 128, 1_000)}}
REPEATS = {"full": 5, "quick": 2}
K = 10
SEED = 2024


def gaussian(rows, d, seed):
    return np.random.default_rng(seed).standard_normal((rows, d), dtype=np.float32)


def timed(run):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        kept = run()
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del kept  # freed outside the timing
    return elapsed / 1e9


def in_turn(systems, repeats):
    spent = {name: [] for name, _ in systems}
    loads = [os.getloadavg()[0]]
    for _ in range(repeats):
        for name, run in systems:
            spent[name].append(timed(run))
        loads.append(os.getloadavg()[0])
    return spent, [round(x, 2) for x in loads]


def row(name, times, loads, **facts):
    return {"system": name, **facts, "seconds": statistics.median(times), "seconds_min": min(times),
            "seconds_max": max(times), "runs": len(times), "load_average": loads}


def insert_systems(X, ids):
    d = X.shape[1]

    def insert_many():
        store = tarnix.Vectorstore(d)
        store.insert_many(X, ids)
        return store

    def insert_loop():
        store = tarnix.Vectorstore(d)
        for i in range(len(X)):
            store.insert(X[i], int(ids[i]))
        return store

    systems = [("numpy copy", lambda: X.copy()), ("tarnix insert_many", insert_many),
               ("tarnix insert loop", insert_loop)]
    try:
        import faiss

        faiss.omp_set_num_threads(1)

        def faiss_add():
            index = faiss.IndexIDMap(faiss.IndexFlatIP(d))
            index.add_with_ids(X, ids.astype(np.int64))
            return index

        systems.append(("faiss IndexIDMap(IndexFlatIP).add_with_ids", faiss_add))
    except ImportError:
        pass
    return systems


def usearch_rows(X, ids):
    try:
        from usearch.index import Index
    except ImportError:
        return []

    def usearch_add():
        index = Index(ndim=X.shape[1], metric="cos", dtype="f32")
        index.add(ids, X, threads=1)
        return index

    loads = [os.getloadavg()[0]]
    seconds = timed(usearch_add)
    loads.append(os.getloadavg()[0])
    return [row("usearch add (f32), a tenth of the rows", [seconds], loads, n=len(X), d=X.shape[1])]


def measure_insert(n, d, repeats):
    X = gaussian(n, d, SEED)
    ids = np.arange(n, dtype=np.uint64)
    # The promise checked on the side: the same store as inserting one by one.
    check = tarnix.Vectorstore(d)
    check.insert_many(X[:1000], ids[:1000])
    assert np.array_equal(np.asarray(check.vectors()), X[:1000]) and np.array_equal(np.asarray(check.ids()), ids[:1000])
    spent, loads = in_turn(insert_systems(X, ids), repeats)
    rows = [row(name, times, loads, n=n, d=d) for name, times in spent.items()]
    rows += usearch_rows(X[: n // 10], ids[: n // 10])
    copy = next(r["seconds"] for r in rows if r["system"] == "numpy copy")
    loop = next(r["seconds"] for r in rows if r["system"] == "tarnix insert loop")
    for r in rows:
        # Per record, for the row measured on fewer of them.
        per_whole = r["seconds"] * n / r["n"]
        r["ratio_numpy_copy"] = per_whole / copy
        r["speedup_over_loop"] = loop / per_whole
    return rows


def measure_search(n, d, count, repeats):
    X = gaussian(n, d, SEED)
    Q = gaussian(count, d, SEED + 1)
    store = tarnix.Vectorstore(d)
    store.insert_many(X, np.arange(n, dtype=np.uint64))
    # A store of K records: the same conversion of the queries and the same arrays to
    # build, but almost no scoring. Its whole call bounds what building the arrays takes.
    small = tarnix.Vectorstore(d)
    small.insert_many(X[:K], np.arange(K, dtype=np.uint64))
    scores, found = store.search_many(Q[:50], K, as_arrays=True)
    assert found.tolist() == [[i for _, i in store.search(q, K)] for q in Q[:50]]
    systems = [("tarnix search_many as_arrays", lambda: store.search_many(Q, K, 1, as_arrays=True)),
               ("tarnix search_many lists", lambda: store.search_many(Q, K, 1)),
               ("tarnix search_many as_arrays, store of top_k records",
                lambda: small.search_many(Q, K, 1, as_arrays=True))]
    spent, loads = in_turn(systems, repeats)
    rows = [row(name, times, loads, n=n, d=d, queries=count, top_k=K, threads=1) for name, times in spent.items()]
    call = rows[0]["seconds"]
    for r in rows:
        r["share_of_as_arrays_call"] = r["seconds"] / call
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    repeats = REPEATS[mode]
    rows = measure_insert(*SIZES[mode]["insert"], repeats) + measure_search(*SIZES[mode]["search"], repeats)
    for r in rows:
        extra = {k: round(v, 4) for k, v in r.items() if k.startswith(("ratio", "speedup", "share"))}
        print(f"{r['system']:55} median {r['seconds'] * 1e3:9.2f} ms  "
              f"[{r['seconds_min'] * 1e3:.2f}, {r['seconds_max'] * 1e3:.2f}]  {extra}  load {r['load_average']}")
    with open(args.out, "w") as out:
        json.dump({"bulk": rows}, out, indent=1)


if __name__ == "__main__":
    main()

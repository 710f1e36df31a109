"""Batch rows: Q queries answered in one call, per-query time of tarnix's search_many (one
and two threads) beside a loop of its search, faiss IndexFlatIP (its BLAS path forced,
and as shipped) and numpy's matrix product with argpartition. The systems take turns,
repetition by repetition, so that each meets the machine's slow and fast spells alike;
each row reports the median of the repetitions and their spread, with the load average
seen meanwhile. Imported by benchmark.py."""
import gc
import os
import statistics
import time

import numpy as np
import tarnix

K = 10
SIZES = {"full": [(1_000_000, 128), (200_000, 768)], "quick": [(20_000, 128), (5_000, 768)]}
QUERY_COUNTS = {"full": [100, 1000], "quick": [20, 100]}
REPEATS = {"full": 3, "quick": 2}
# A loop of single searches costs the same per query whatever the batch: at most this
# many of the batch's queries are looped over.
LOOPED = 100
SEED = 2024


def gaussian(rows, d, seed):
    return np.random.default_rng(seed).standard_normal((rows, d), dtype=np.float32)


def tarnix_systems(store):
    yield "tarnix search_many", 1, lambda Q: store.search_many(Q, K, 1)
    yield "tarnix search_many", 2, lambda Q: store.search_many(Q, K, 2)
    yield "tarnix search loop", 1, lambda Q: [store.search(q, K) for q in Q[:LOOPED]]


def faiss_systems(X):
    import faiss

    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatIP(X.shape[1])
    index.add(X / np.linalg.norm(X, axis=1, keepdims=True))
    shipped = faiss.cvar.distance_compute_blas_threshold

    def search(Q, threshold):
        faiss.cvar.distance_compute_blas_threshold = threshold
        try:
            return index.search(Q / np.linalg.norm(Q, axis=1, keepdims=True), K)
        finally:
            faiss.cvar.distance_compute_blas_threshold = shipped

    yield "faiss IndexFlatIP, BLAS forced", 1, lambda Q: search(Q, 1)
    yield "faiss IndexFlatIP, as shipped", 1, lambda Q: search(Q, shipped)


def numpy_systems(X):
    norms = np.linalg.norm(X, axis=1)
    # The score matrix of a whole batch would not fit in memory: queries go in groups
    # whose scores take at most 256 MiB.
    group = max(1, (64 << 20) // len(X))

    def search(Q):
        best = []
        for start in range(0, len(Q), group):
            part = Q[start:start + group]
            scores = (part @ X.T) / (norms * np.linalg.norm(part, axis=1, keepdims=True))
            top = np.argpartition(-scores, K, axis=1)[:, :K]
            order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1)
            best.append(np.take_along_axis(top, order, axis=1))
        return np.concatenate(best)

    yield "numpy matmul + argpartition", 1, search


def timed_in_turn(systems, Q, repeats):
    """Each system's per-query times, one per repetition, the systems taking turns."""
    spent = [[] for _ in systems]
    loads = [os.getloadavg()[0]]
    for _ in range(repeats):
        for (system, _, run), times in zip(systems, spent):
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter_ns()
                run(Q)
                elapsed = time.perf_counter_ns() - start
            finally:
                gc.enable()
            times.append(elapsed / (min(len(Q), LOOPED) if system == "tarnix search loop" else len(Q)))
        loads.append(os.getloadavg()[0])
    return spent, loads


def measure(n, d, query_counts, repeats, log=print):
    X = gaussian(n, d, SEED)
    store = tarnix.Vectorstore(d)
    for i in range(n):
        store.insert(X[i], i)
    systems = list(tarnix_systems(store)) + list(faiss_systems(X)) + list(numpy_systems(X))
    rows = []
    for count in query_counts:
        Q = gaussian(count, d, SEED + count)
        # The promise checked on the side: every query's answer is search's.
        many = store.search_many(Q[:LOOPED], K, 2)
        assert many == [store.search(q, K) for q in Q[:LOOPED]], "search_many differs from search"
        log(f"  batch {n:,}×{d}, Q = {count}: {repeats} repetitions in turn", flush=True)
        spent, loads = timed_in_turn(systems, Q, repeats)
        for (system, threads, _), times in zip(systems, spent):
            rows.append({"system": system, "threads": threads, "n": n, "d": d, "queries": count,
                         "ms_per_query": statistics.median(times) / 1e6,
                         "ms_per_query_min": min(times) / 1e6, "ms_per_query_max": max(times) / 1e6,
                         "repeats": repeats, "load_average": [round(x, 2) for x in loads]})
    add_ratios(rows)
    return rows


def add_ratios(rows):
    """Each row against faiss's BLAS path and against the search loop of the same size and
    batch; search_many ×2 also against search_many ×1."""
    def at(row, system, threads=1):
        return next(r["ms_per_query"] for r in rows
                    if (r["n"], r["d"], r["queries"], r["system"], r["threads"]) ==
                    (row["n"], row["d"], row["queries"], system, threads))

    for row in rows:
        row["ratio_faiss_blas"] = row["ms_per_query"] / at(row, "faiss IndexFlatIP, BLAS forced")
        row["ratio_search_loop"] = row["ms_per_query"] / at(row, "tarnix search loop")
        if row["system"] == "tarnix search_many" and row["threads"] == 2:
            row["ratio_one_thread"] = row["ms_per_query"] / at(row, "tarnix search_many")

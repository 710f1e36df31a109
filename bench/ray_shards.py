"""The store sharded over Ray actors against one local store: search_many's throughput
(1,000 queries, top 10) and the latency of one search (what coordinating through Ray
costs), at 2,000,000 x 128 in 1, 2 and 4 shards, on a local cluster of this machine's 2
CPUs (each shard's actor reserves its share of them, and searches on as many threads).
The local store searches on every processor. The two sides take turns, repetition by
repetition; each row gives the medians, their range and the ratio of the medians. The
merge on the caller is timed alone on answers of the same shape, and the round trip
through Ray alone on a store of 1,000 records, where scoring costs next to nothing.

    python bench/ray_shards.py [--quick] [--out results.json]
"""
import argparse
import gc
import json
import os
import statistics
import time

import numpy as np
import ray

import tarnix
import tarnix_ray
from tarnix_ray._merge import merge_top_k

SIZES = {"full": (2_000_000, 128), "quick": (200_000, 128)}
SHARDS = (1, 2, 4)
QUERIES = 1000
TOP_K = 10
BATCH_REPEATS = {"full": 3, "quick": 2}
SINGLE_QUERIES = {"full": 30, "quick": 10}


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def summary(times):
    return {"median_s": statistics.median(times), "min_s": min(times), "max_s": max(times), "runs": len(times)}


def in_turns(local, sharded, repeats):
    local_times, sharded_times = [], []
    for _ in range(repeats):
        gc.collect()
        local_times.append(timed(local))
        sharded_times.append(timed(sharded))
    return summary(local_times), summary(sharded_times)


def merge_cost(shards, rng):
    parts = []
    for _ in range(shards):
        scores = -np.sort(-rng.random((QUERIES, TOP_K), dtype=np.float32), axis=1)
        parts.append((scores, rng.integers(0, 2**63, (QUERIES, TOP_K), dtype=np.uint64)))
    return summary([timed(lambda: merge_top_k(parts, TOP_K, QUERIES)) for _ in range(20)])


def measure(shards, X, ids, queries, local, mode, rng):
    n, d = X.shape
    store = tarnix_ray.ShardedVectorstore(d, shard_capacity=-(-n // shards), actor_options={"num_cpus": 2 / shards})
    build = timed(lambda: store.insert_many(X, ids))
    # The answers are the local store's, bit for bit, before anything is timed.
    for a, b in zip(store.search_many(queries[:50], TOP_K, as_arrays=True),
                    local.search_many(queries[:50], TOP_K, as_arrays=True)):
        assert bytes(a) == bytes(b)
    batch_local, batch_sharded = in_turns(lambda: local.search_many(queries, TOP_K, as_arrays=True),
                                          lambda: store.search_many(queries, TOP_K, as_arrays=True),
                                          BATCH_REPEATS[mode])
    single_local, single_sharded = [], []
    for q in queries[:SINGLE_QUERIES[mode]]:
        single_local.append(timed(lambda q=q: local.search(q, TOP_K)))
        single_sharded.append(timed(lambda q=q, store=store: store.search(q, TOP_K)))
    row = {"shards": shards, "build_s": build,
           "search_many_local": batch_local, "search_many_sharded": batch_sharded,
           "search_many_ratio": batch_sharded["median_s"] / batch_local["median_s"],
           "queries_per_second_sharded": QUERIES / batch_sharded["median_s"],
           "search_local": summary(single_local), "search_sharded": summary(single_sharded),
           "search_ratio": statistics.median(single_sharded) / statistics.median(single_local),
           "merge": merge_cost(shards, rng)}
    print("%d shard(s): built in %.1f s" % (shards, build))
    print("  search_many x%d  local %s   sharded %s   ratio %.2f   %.0f queries/s" % (
        QUERIES, ms(batch_local), ms(batch_sharded), row["search_many_ratio"], row["queries_per_second_sharded"]))
    print("  search           local %s   sharded %s   ratio %.2f" % (
        ms(row["search_local"]), ms(row["search_sharded"]), row["search_ratio"]))
    print("  merge of %d x %d hits from %d shard(s): %s" % (QUERIES, TOP_K, shards, ms(row["merge"])), flush=True)
    return row


def round_trip(X, ids, queries):
    """One search through Ray against a local one on 1,000 records: what coordinating
    costs when the shards have next to nothing to score."""
    small = tarnix.Vectorstore(X.shape[1])
    small.insert_many(X[:1000], ids[:1000])
    rows = []
    for shards in SHARDS:
        store = tarnix_ray.ShardedVectorstore(X.shape[1], shard_capacity=-(-1000 // shards),
                                              actor_options={"num_cpus": 2 / shards})
        store.insert_many(X[:1000], ids[:1000])
        store.search(queries[0], TOP_K)  # the actors' first call, which warms them
        local_times, sharded_times = [], []
        for q in queries[:100]:
            local_times.append(timed(lambda q=q: small.search(q, TOP_K)))
            sharded_times.append(timed(lambda q=q, store=store: store.search(q, TOP_K)))
        row = {"shards": shards, "search_local": summary(local_times), "search_sharded": summary(sharded_times)}
        print("1,000 records, %d shard(s): search local %s   sharded %s" % (
            shards, ms(row["search_local"]), ms(row["search_sharded"])), flush=True)
        rows.append(row)
        store = None  # its actors end with it
        gc.collect()
    return rows


def ms(row):
    return "%8.2f ms [%.2f-%.2f]" % (1e3 * row["median_s"], 1e3 * row["min_s"], 1e3 * row["max_s"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    n, d = SIZES[mode]
    rng = np.random.default_rng(11)
    X = rng.standard_normal((n, d), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    queries = rng.standard_normal((QUERIES, d), dtype=np.float32)
    local = tarnix.Vectorstore(d)
    local.insert_many(X, ids)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
    results = {"rows": n, "dimension": d, "queries": QUERIES, "top_k": TOP_K,
               "load_average": os.getloadavg(), "table": []}
    for shards in SHARDS:
        results["table"].append(measure(shards, X, ids, queries, local, mode, rng))
        gc.collect()  # the shards' actors end with their store
    results["round_trip"] = round_trip(X, ids, queries)
    ray.shutdown()
    results["load_average_after"] = os.getloadavg()
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()

"""Search time against top_k: search and parallel_search for top_k from 10 up to the
whole store, on records in no particular order and in ascending score order (where every
record beats the worst kept so far). Pure Python, so it runs on every interpreter.

    python bench/top_k.py [records] [dimension] [runs]

Prints the median, fastest and slowest of the runs of each call, and a digest of each
result, to compare two builds by.
"""
import gc
import random
import statistics
import sys
import time
import zlib
from array import array

import tarnix

RECORDS = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
DIMENSION = int(sys.argv[2]) if len(sys.argv) > 2 else 64
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 5
POOL = 1_000_003  # a prime: row i starts at i * 7919 modulo it, so rows differ

rng = random.Random(2024)
pool = array("f", [rng.uniform(-1.0, 1.0) for _ in range(POOL + DIMENSION)])
rows = memoryview(pool)
query = array("f", [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)])


def row(i):
    start = i * 7919 % POOL
    return rows[start:start + DIMENSION]


def build(order):
    store = tarnix.Vectorstore(DIMENSION)
    for i in order:
        store.insert(row(i), i)
    return store


def digest(result):
    return zlib.crc32(repr(result).encode()) & 0xFFFFFFFF


def measure(name, store):
    for top_k in (10, RECORDS // 100, RECORDS // 10, RECORDS):
        for label, call in (("search", lambda: store.search(query, top_k)),
                            ("parallel_search(2)", lambda: store.parallel_search(query, top_k, 2))):
            times = []
            for _ in range(RUNS):
                gc.collect()
                start = time.perf_counter()
                result = call()
                times.append(time.perf_counter() - start)
            check = digest(result)
            del result
            print("%-10s %-19s top_k %8d: median %8.1f ms  min %8.1f  max %8.1f  digest %08x"
                  % (name, label, top_k, 1000 * statistics.median(times), 1000 * min(times),
                     1000 * max(times), check), flush=True)


print("%s, %d records x %d, %d runs each, module %s"
      % (sys.implementation.name, RECORDS, DIMENSION, RUNS, tarnix.__file__), flush=True)
store = build(range(RECORDS))
measure("any order", store)
ascending = array("q", [rid for _, rid in reversed(store.search(query, RECORDS))])
del store
gc.collect()
measure("ascending", build(ascending))

"""Stress for parallel_search: thousands of calls with random thread counts, some from
several Python threads at once on separate stores. Checks every result against search,
then that no worker thread outlived its call and how resident memory moved.

    python bench/stress_parallel.py [calls-per-thread]
"""
import gc
import os
import random
import sys
import threading

import tarnix

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
PYTHON_THREADS = 4
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


def os_threads():
    return len(os.listdir("/proc/self/task"))


def make_store(rng, count, dimension):
    vectors = []
    for record_id in range(count):
        vector = [float(rng.randint(-2, 2)) for _ in range(dimension)]
        if rng.random() < 0.05:
            vector[0] = float("nan")
        vectors.append((vector, record_id))
    return tarnix.Vectorstore(dimension, vectors)


def hammer(seed, calls, failures):
    rng = random.Random(seed)
    store = make_store(rng, rng.randint(1, 400), 8)
    for _ in range(calls):
        query = [rng.gauss(0.0, 1.0) for _ in range(8)]
        top_k = rng.randint(0, 50)
        n_threads = rng.choice([None, 0, 1, 2, 3, 7, rng.randint(1, 64)])
        got = store.parallel_search(query, top_k, n_threads)
        want = store.search(query, top_k)
        if repr(got) != repr(want):  # repr: NaN scores compare equal as text
            failures.append((seed, top_k, n_threads))


def run_round(seed):
    failures = []
    hammer(seed, CALLS, failures)  # on the main thread
    workers = [
        threading.Thread(target=hammer, args=(seed * 100 + i, CALLS // PYTHON_THREADS, failures))
        for i in range(PYTHON_THREADS)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return failures


def main():
    threads_before = os_threads()
    run_round(1)  # warm-up
    gc.collect()
    memory_before = resident_kib()
    failures = []
    for seed in range(2, 5):
        failures += run_round(seed)
    gc.collect()
    calls = 3 * (CALLS + PYTHON_THREADS * (CALLS // PYTHON_THREADS))
    print(f"{calls} parallel_search calls checked against search, {len(failures)} mismatches")
    print(f"OS threads before: {threads_before}, after: {os_threads()}")
    print(f"resident memory growth after warm-up: {resident_kib() - memory_before:+d} KiB")
    if failures or os_threads() != threads_before:
        sys.exit(1)


if __name__ == "__main__":
    main()

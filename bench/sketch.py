"""Rows for the sketch: search top 10 with and without one, on Gaussian and clustered data
(1,000 centres, queries near centres); search_many of 1,000 queries and of small batches,
and the 1,000 queries over faiss's flat index where faiss is installed;
adversarial stores (every record the same; all within one bound; top_k equal to the size);
what the sketch adds to memory and to insert. The two stores take turns, round by round,
and each row reports the median ratio (with the sketch over without) and its spread.
Runs on CPython with numpy and on the 32-bit PyPy without it (smaller sizes there).

With --floor (the library bench/run.sh builds), the search rows are also timed against a
one-core streaming read of the store's floats, the floor of any exhaustive search.

    python bench/sketch.py [--quick] [--sizes 1000000x128,200000x768] [--floor LIB] --out JSON
"""
import argparse
import ctypes
import gc
import json
import random
import statistics
import sys
import time

import tarnix

try:
    import numpy as np
except ImportError:  # the PyPy venv has no numpy
    np = None
try:
    import faiss
except ImportError:
    faiss = None

K = 10


def rows(kind, records, dim, seed):
    """(records, queries): Gaussian, or clustered around 1,000 centres with queries near them."""
    if np is not None:
        rng = np.random.default_rng(seed)
        if kind == "gaussian":
            return (rng.standard_normal((records, dim), dtype=np.float32),
                    rng.standard_normal((64, dim), dtype=np.float32))
        centres = rng.standard_normal((1000, dim), dtype=np.float32)
        data = centres[rng.integers(0, 1000, records)] + np.float32(0.3) * rng.standard_normal((records, dim), dtype=np.float32)
        return data, centres[:64] + np.float32(0.1) * rng.standard_normal((64, dim), dtype=np.float32)
    rng = random.Random(seed)
    g = rng.gauss
    if kind == "gaussian":
        return ([[g(0, 1) for _ in range(dim)] for _ in range(records)],
                [[g(0, 1) for _ in range(dim)] for _ in range(64)])
    centres = [[g(0, 1) for _ in range(dim)] for _ in range(1000)]
    data = [[c + 0.3 * g(0, 1) for c in centres[rng.randrange(1000)]] for _ in range(records)]
    return data, [[c + 0.1 * g(0, 1) for c in centres[i]] for i in range(64)]


def store_of(dim, data, sketched):
    store = tarnix.Vectorstore(dim)
    store.insert_many(data, list(range(len(data))))
    if sketched:
        store.build_sketch()
    return store


def timed(run):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    finally:
        gc.enable()


def in_turns(name, plain, sketched, run, rounds, count):
    """Times run(plain) and run(sketched) alternately; per-call seconds and the ratio."""
    off, on = [], []
    for _ in range(rounds):
        off.append(timed(lambda: run(plain)) / count)
        on.append(timed(lambda: run(sketched)) / count)
    ratios = sorted(b / a for a, b in zip(off, on))
    row = {"row": name, "without_s": statistics.median(off), "with_s": statistics.median(on),
           "ratio": statistics.median(ratios), "ratio_min": ratios[0], "ratio_max": ratios[-1],
           "rounds": rounds, "calls_per_round": count}
    print(f"{name}: without {row['without_s'] * 1e3:.3f} ms, with {row['with_s'] * 1e3:.3f} ms, "
          f"ratio {row['ratio']:.3f} ({ratios[0]:.3f}..{ratios[-1]:.3f}, {rounds} rounds)", flush=True)
    return row


def search_rows(records, dim, rounds, floor_read=None):
    out = []
    for kind in ("gaussian", "clustered"):
        data, queries = rows(kind, records, dim, 19)
        plain, sketched = store_of(dim, data, False), store_of(dim, data, True)
        data_for_faiss = data if faiss is not None else None
        assert all(plain.search(q, K) == sketched.search(q, K) for q in queries)
        if floor_read is not None:
            out.append(against_floor(f"search {kind} {records}x{dim} top {K} over the floor", floor_read,
                                     data, plain, sketched, queries, rounds))
        del data
        out.append(in_turns(f"search {kind} {records}x{dim} top {K}", plain, sketched,
                            lambda s: [s.search(q, K) for q in queries], rounds, len(queries)))
        out.append(in_turns(f"search_many {kind} {records}x{dim} Q=4 top {K}", plain, sketched,
                            lambda s: [s.search_many(queries[i:i + 4], K, 1) for i in range(0, 64, 4)],
                            rounds, len(queries)))
        if np is not None:
            many = np.concatenate([queries] * 16)[:1000]
            out.append(in_turns(f"search_many {kind} {records}x{dim} Q=1000 top {K}", plain, sketched,
                                lambda s: s.search_many(many, K, 1), max(2, rounds // 2), len(many)))
            if faiss is not None:
                out.append(against_faiss(f"search_many {kind} {records}x{dim} Q=1000 top {K} over faiss",
                                         sketched, data_for_faiss, many, max(2, rounds // 2)))
        del plain, sketched
    return out


def against_floor(name, floor_read, data, plain, sketched, queries, rounds):
    """The floor (one read of the store's floats per query), search without and with the
    sketch, in turns: each search's median per query over the floor's."""
    address, count = data.ctypes.data, data.size
    runs = {"floor": lambda: [floor_read(address, count) for _ in queries],
            "without": lambda: [plain.search(q, K) for q in queries],
            "with": lambda: [sketched.search(q, K) for q in queries]}
    times = {side: [] for side in runs}
    for _ in range(rounds):
        for side, run in runs.items():
            times[side].append(timed(run) / len(queries))
    floor_s = statistics.median(times["floor"])
    row = {"row": name, "floor_s": floor_s, "rounds": rounds,
           "without_over_floor": statistics.median(times["without"]) / floor_s,
           "with_over_floor": statistics.median(times["with"]) / floor_s,
           "with_over_floor_range": [min(times["with"]) / floor_s, max(times["with"]) / floor_s]}
    print(f"{name}: floor {floor_s * 1e3:.2f} ms, without {row['without_over_floor']:.3f} x floor, "
          f"with {row['with_over_floor']:.3f} x floor", flush=True)
    return row


def against_faiss(name, store, data, queries, rounds):
    """search_many on one thread over faiss's flat inner-product index on one thread, in turns."""
    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatIP(data.shape[1])
    index.add(data / np.linalg.norm(data, axis=1, keepdims=True))
    ours, theirs = [], []
    for _ in range(rounds):
        ours.append(timed(lambda: store.search_many(queries, K, 1)))
        theirs.append(timed(lambda: index.search(queries / np.linalg.norm(queries, axis=1, keepdims=True), K)))
    ratios = sorted(a / b for a, b in zip(ours, theirs))
    row = {"row": name, "tarnix_s": statistics.median(ours), "faiss_s": statistics.median(theirs),
           "ratio": statistics.median(ratios), "ratio_min": ratios[0], "ratio_max": ratios[-1], "rounds": rounds}
    print(f"{name}: ratio {row['ratio']:.3f} ({ratios[0]:.3f}..{ratios[-1]:.3f}, {rounds} rounds)", flush=True)
    return row


def adversarial_rows(records, dim, rounds):
    rng = random.Random(5)
    base = [rng.gauss(0, 1) for _ in range(dim)]
    queries = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(16)]
    same = [base] * records
    # Within one bound: every code and scale equal, the floats differing below a code step.
    near = [[x + rng.uniform(-1e-4, 1e-4) for x in base] for _ in range(records)]
    out = []
    for name, data, top_k in (("identical", same, K), ("within one bound", near, K)):
        plain, sketched = store_of(dim, data, False), store_of(dim, data, True)
        out.append(in_turns(f"adversarial {name} {records}x{dim} top {top_k}", plain, sketched,
                            lambda s: [s.search(q, top_k) for q in queries], rounds, len(queries)))
    small = records // 10
    data = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(small)]
    plain, sketched = store_of(dim, data, False), store_of(dim, data, True)
    out.append(in_turns(f"adversarial top_k = size {small}x{dim}", plain, sketched,
                        lambda s: [s.search(q, small) for q in queries[:4]], rounds, 4))
    return out


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def cost_rows(records, dim, rounds):
    data, _ = rows("gaussian", records, dim, 7)
    # Resident memory of a store big enough that its pages, not the allocator's reuse, show.
    big = 200_000 if np is not None else 50_000
    gc.collect()
    before = resident_bytes()
    store = tarnix.Vectorstore(dim)
    for first in range(0, big, records):
        store.insert_many(data, list(range(first, first + records)))
    with_floats = resident_bytes()
    store.build_sketch()
    with_sketch = resident_bytes()
    memory = {"row": f"memory {big}x{dim}", "store_bytes": with_floats - before,
              "sketch_bytes": with_sketch - with_floats,
              "ratio": (with_sketch - before) / (with_floats - before)}
    print(f"{memory['row']}: store {memory['store_bytes'] / 1e6:.1f} MB, sketch "
          f"{memory['sketch_bytes'] / 1e6:.1f} MB, ratio {memory['ratio']:.3f}", flush=True)
    if np is not None:
        data = data.tolist()
    del store

    def fill(sketched):
        def run(_):
            s = tarnix.Vectorstore(dim)
            if sketched:
                s.build_sketch()
            for i, vec in enumerate(data):
                s.insert(vec, i)
        return run
    off, on = [], []
    for _ in range(rounds):
        off.append(timed(lambda: fill(False)(None)) / records)
        on.append(timed(lambda: fill(True)(None)) / records)
    ratios = sorted(b / a for a, b in zip(off, on))
    insert = {"row": f"insert {records}x{dim}", "without_s": statistics.median(off),
              "with_s": statistics.median(on), "ratio": statistics.median(ratios),
              "ratio_min": ratios[0], "ratio_max": ratios[-1], "rounds": rounds, "calls_per_round": records}
    print(f"{insert['row']}: without {insert['without_s'] * 1e6:.2f} us, with {insert['with_s'] * 1e6:.2f} us, "
          f"ratio {insert['ratio']:.3f} ({ratios[0]:.3f}..{ratios[-1]:.3f}, {rounds} rounds)", flush=True)
    return [memory, insert]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sizes", default=None, help="RECORDSxDIM,... for the search rows")
    parser.add_argument("--rows", default="search,adversarial,cost")
    parser.add_argument("--floor", help="libtarnix_stream_floor.so, for the search rows against the floor")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    floor_read = None
    if args.floor:
        floor_read = ctypes.CDLL(args.floor).tarnix_floor_read
        floor_read.restype = ctypes.c_float
        floor_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    pypy = np is None
    default = "20000x128" if args.quick else ("200000x128" if pypy else "1000000x128,200000x768")
    sizes = [tuple(int(n) for n in s.split("x")) for s in (args.sizes or default).split(",")]
    rounds = 2 if args.quick else 5
    wanted = args.rows.split(",")
    out = []
    if "cost" in wanted:  # first: pages freed by earlier rows would hide the memory taken
        for dim in (128, 768):
            out += cost_rows(5_000 if args.quick else 20_000, dim, rounds)
    for records, dim in sizes:
        if "search" in wanted:
            out += search_rows(records, dim, rounds, floor_read)
    if "adversarial" in wanted:
        out += adversarial_rows(20_000 if args.quick or pypy else 200_000, 128, rounds)
    with open(args.out, "w") as f:
        json.dump({"interpreter": sys.implementation.name, "kernel": tarnix_kernel(), "rows": out}, f, indent=1)


def tarnix_kernel():
    import os
    return os.environ.get("TARNIX_KERNEL", "default")


main()

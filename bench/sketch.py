"""Search with and without a sketch, in turns, on one thread: the median time per query
and its spread, and the ratio. Usage: python bench/sketch.py RECORDS DIM [QUERIES]."""
import statistics
import sys
import time

import numpy as np

import tarnix


def stores(records, dim, rng):
    gaussian = rng.standard_normal((records, dim), dtype=np.float32)
    centres = rng.standard_normal((1000, dim), dtype=np.float32)
    clustered = centres[rng.integers(0, 1000, records)] + 0.3 * rng.standard_normal((records, dim), dtype=np.float32)
    return {"gaussian": (gaussian, rng.standard_normal((64, dim), dtype=np.float32)),
            "clustered": (clustered, centres[:64] + 0.1 * rng.standard_normal((64, dim), dtype=np.float32))}


def timed(store, queries):
    start = time.perf_counter()
    for q in queries:
        store.search(q, 10)
    return (time.perf_counter() - start) / len(queries)


def main():
    records, dim = int(sys.argv[1]), int(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    rng = np.random.default_rng(19)
    for name, (data, queries) in stores(records, dim, rng).items():
        plain = tarnix.Vectorstore(dim, [(row, i) for i, row in enumerate(data)])
        sketched = tarnix.Vectorstore(dim, [(row, i) for i, row in enumerate(data)])
        sketched.build_sketch()
        assert all(plain.search(q, 10) == sketched.search(q, 10) for q in queries)
        off, on = [], []
        for _ in range(rounds):  # in turns
            off.append(timed(plain, queries))
            on.append(timed(sketched, queries))
        ratios = [b / a for a, b in zip(off, on)]
        print(f"{name} {records}x{dim} top 10: without {statistics.median(off) * 1e3:.2f} ms, "
              f"with {statistics.median(on) * 1e3:.2f} ms, ratio {statistics.median(ratios):.3f} "
              f"(min {min(ratios):.3f}, max {max(ratios):.3f}, {rounds} runs of {len(queries)} queries)")


main()

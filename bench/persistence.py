"""Rows for stores that leave the process: save and load against numpy.save and numpy.load
of the same array, load(mmap=True), and pickle protocol 5 dumps + loads against the same
for the array, in band and out of band. The two sides take turns, repetition by
repetition; each row reports the median of the repetitions, their spread and the ratio of
the medians.

    python bench/persistence.py [--quick] [--out results.json] [--dir DIRECTORY]
"""
import argparse
import gc
import json
import os
import pickle
import statistics
import tempfile
import time

import numpy as np
import tarnix

SIZES = {"full": (200_000, 384), "quick": (20_000, 384)}
REPEATS = {"full": 7, "quick": 3}


def timed(action):
    gc.collect()
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def save_flushed(path, X):
    with open(path, "wb") as f:
        np.save(f, X)
        f.flush()
        os.fsync(f.fileno())


def pickle_round_trip(obj, out_of_band):
    if out_of_band:
        buffers = []
        data = pickle.dumps(obj, 5, buffer_callback=buffers.append)
        return pickle.loads(data, buffers=buffers)
    return pickle.loads(pickle.dumps(obj, 5))


def rows(X, store, directory):
    array_path = os.path.join(directory, "array.npy")
    store_path = os.path.join(directory, "store.tnx")
    np.save(array_path, X)
    store.save(store_path)
    yield "save", lambda: np.save(array_path, X), lambda: store.save(store_path)
    # save flushes the file to the disk before it renames it into place; numpy.save
    # does not: the same save followed by fsync shows what the flush costs.
    yield "save, numpy followed by fsync", lambda: save_flushed(array_path, X), lambda: store.save(store_path)
    yield "load", lambda: np.load(array_path), lambda: tarnix.Vectorstore.load(store_path)
    yield ("load, mapped", lambda: np.load(array_path, mmap_mode="r"),
           lambda: tarnix.Vectorstore.load(store_path, mmap=True))
    yield ("pickle 5 dumps + loads, in band", lambda: pickle_round_trip(X, False),
           lambda: pickle_round_trip(store, False))
    yield ("pickle 5 dumps + loads, out of band", lambda: pickle_round_trip(X, True),
           lambda: pickle_round_trip(store, True))


def summary(times):
    return {"median_s": statistics.median(times), "min_s": min(times), "max_s": max(times), "runs": len(times)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--dir", help="where the files go (default: a temporary directory)")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    n, d = SIZES[mode]
    X = np.random.default_rng(7).standard_normal((n, d), dtype=np.float32)
    store = tarnix.Vectorstore(d, list(zip(X, range(n))))
    results = {"rows": n, "dimension": d, "load_average": os.getloadavg(), "table": []}
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for name, numpy_side, tarnix_side in rows(X, store, directory):
            numpy_times, tarnix_times = [], []
            for _ in range(REPEATS[mode]):
                numpy_times.append(timed(numpy_side))
                tarnix_times.append(timed(tarnix_side))
            row = {"row": name, "numpy": summary(numpy_times), "tarnix": summary(tarnix_times),
                   "ratio": statistics.median(tarnix_times) / statistics.median(numpy_times)}
            results["table"].append(row)
            print("%-38s numpy %8.2f ms [%.2f-%.2f]   tarnix %8.2f ms [%.2f-%.2f]   ratio %.2f" % (
                name, 1e3 * row["numpy"]["median_s"], 1e3 * row["numpy"]["min_s"], 1e3 * row["numpy"]["max_s"],
                1e3 * row["tarnix"]["median_s"], 1e3 * row["tarnix"]["min_s"], 1e3 * row["tarnix"]["max_s"],
                row["ratio"]), flush=True)
    results["load_average_after"] = os.getloadavg()
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()

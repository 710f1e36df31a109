"""Times tarnix against its peers on the same data in one run, as ratios to a
streaming read of the same bytes, and reports build cost and resident memory per record;
then the batch rows (batch.py), last, with the 32-bit PyPy's batch rows beside them when
given. Run through bench/run.sh, which builds the floor library and the environments.

    python bench/benchmark.py --floor LIB --results JSON --chart PNG [--quick]
                              [--pypy-batch JSON] [--batch-only]

--batch-only measures the batch rows alone and keeps the other rows of the results file.
"""
import os

# numpy's matrix-vector product would otherwise use every core; its row is a one-thread row.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import multiprocessing  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from importlib import metadata  # noqa: E402

import numpy as np  # noqa: E402
import tarnix  # noqa: E402

import batch  # noqa: E402
import chart  # noqa: E402
import peers  # noqa: E402

SEARCH_SIZES = {"full": [(10_000, 128), (100_000, 128), (1_000_000, 128), (200_000, 768)],
                "quick": [(10_000, 128), (20_000, 768)]}
BUILD_SIZES = {"full": [(100_000, 128), (20_000, 768)], "quick": [(10_000, 128), (20_000, 768)]}
MEMORY_SIZES = {"full": [(1_000_000, 128), (200_000, 768)], "quick": [(10_000, 128), (20_000, 768)]}
WARMUP, TIMED, BUILD_REPEATS, SEED = 3, 30, 5, 2024
PAGE = os.sysconf("SC_PAGE_SIZE")


def gaussian(rows, d, seed):
    return np.random.default_rng(seed).standard_normal((rows, d), dtype=np.float32)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def insert_each(d, rows):
    store = tarnix.Vectorstore(d)
    for i in range(len(rows)):
        store.insert(rows[i], i)
    return store


def loop_only(rows):
    """The insert loop with a two-argument C call that keeps nothing: the loop's own cost."""
    call = {}.get
    for i in range(len(rows)):
        call(i, rows[i])


def machine_facts():
    with open("/proc/cpuinfo") as cpuinfo:
        lines = cpuinfo.read().splitlines()
    field = lambda name: next((l.split(":", 1)[1].strip() for l in lines if l.startswith(name)), "?")
    facts = {"cpu": field("model name"), "avx2": "avx2" in field("flags").split(),
             "cores": os.cpu_count(), "load_average": os.getloadavg()[0],
             "python": platform.python_version(),
             "memory_gib": round(PAGE * os.sysconf("SC_PHYS_PAGES") / 2**30, 1),
             "numpy_blas": np.__config__.CONFIG["Build Dependencies"]["blas"].get("name", "?")}
    for package in ("tarnix", "numpy", "faiss-cpu", "usearch", "hnswlib", "matplotlib"):
        facts[package] = metadata.version(package)
    return facts


def time_in_turn(searches, queries):
    """Each search's first result (for the check) and its median time. The searches take
    their turns query by query, so that all of them meet the machine's slow and fast
    spells alike: here the bandwidth two threads get swings between runs of a few seconds."""
    firsts = [search(queries[0]) for search in searches]
    for q in queries[1:WARMUP]:
        for search in searches:
            search(q)
    times = [[] for _ in searches]
    gc.disable()  # a collection inside one query would land on whichever system runs then
    try:
        for q in queries[WARMUP:]:
            for search, spent in zip(searches, times):
                start = time.perf_counter_ns()
                search(q)
                spent.append(time.perf_counter_ns() - start)
    finally:
        gc.enable()
    return firsts, [statistics.median(spent) for spent in times]


def measure_size(n, d, floor_library):
    """The floor and tarnix's searches are timed in turn; then each peer in turn with
    tarnix's search, which is what its ×tarnix ratio is taken against."""
    X = gaussian(n, d, SEED)
    queries = gaussian(WARMUP + TIMED, d, SEED + 1)
    expected = int(np.argmax((X @ queries[0]) / np.linalg.norm(X, axis=1)))
    store = insert_each(d, X)
    ours = list(peers.floor(X, floor_library)) + list(peers.tarnix(store))
    print(f"  {n:,}×{d} floor and tarnix", flush=True)
    firsts, medians = time_in_turn([search for _, _, search, _ in ours], queries)
    rows = [row_of(variant, n, d, first, median, expected) for variant, first, median in zip(ours, firsts, medians)]
    at = next(i for i, (system, _, _, _) in enumerate(ours) if system == "tarnix search")
    tarnix_search, tarnix_ns = ours[at], rows[at]["median_ns"]
    for row in rows:
        row["ratio_tarnix"] = row["median_ns"] / tarnix_ns
    for peer in peers.PEERS:
        for variant in peer(X):
            print(f"  {n:,}×{d} {variant[0]} ×{variant[1]}", flush=True)
            (first, _), (median, paired_ns) = time_in_turn([variant[2], tarnix_search[2]], queries)
            row = row_of(variant, n, d, first, median, expected)
            row["ratio_tarnix"] = median / paired_ns
            row["tarnix_search_paired_ns"] = paired_ns
            rows.append(row)
        gc.collect()
    add_floor_ratios(rows)
    return rows


def add_floor_ratios(rows):
    """Each row's time over the floor with its threads. A peer was not timed beside the
    floor but beside tarnix's search, so its ratio is carried over through that search:
    (peer / search beside it) × (search / floor beside it)."""
    floor_ns = {row["threads"]: row["median_ns"] for row in rows if row["system"] == "floor"}
    tarnix_ns = next(row["median_ns"] for row in rows if row["system"] == "tarnix search")
    for row in rows:
        timed_beside_floor = "tarnix_search_paired_ns" not in row
        estimate_ns = row["median_ns"] if timed_beside_floor else row["ratio_tarnix"] * tarnix_ns
        row["ratio_floor"] = estimate_ns / floor_ns[row["threads"]]


def row_of(variant, n, d, first, median, expected):
    system, threads, _, top = variant
    row = {"system": system, "n": n, "d": d, "threads": threads, "median_ns": median}
    if top is not None:
        row["top_ok"] = top(first) == expected
        if not row["top_ok"]:
            print(f"WARNING: {system} ×{threads} top id {top(first)}, numpy says {expected}")
    return row


def resident_per_record(n, d):
    """Runs in a fresh interpreter: in this one, memory freed by earlier sizes would be
    reused by the store and hide some of it."""
    X = gaussian(n, d, SEED)
    gc.collect()
    before = resident_bytes()
    store = insert_each(d, X)
    return (resident_bytes() - before) / len(store)


def measure_build(n, d):
    X = gaussian(n, d, SEED)
    lists = X.tolist()
    pairs = [(row, i) for i, row in enumerate(lists)]
    ways = {"loop only, {}.get(i, row)": lambda: loop_only(lists),
            "loop only, numpy rows": lambda: loop_only(X),
            "fresh memory, np.ones((n, d))": lambda: np.ones((n, d), dtype=np.float32),
            "insert python lists": lambda: insert_each(d, lists),
            "insert numpy float32 rows": lambda: insert_each(d, X),
            "Vectorstore(d, pairs)": lambda: tarnix.Vectorstore(d, pairs)}
    # The ways take turns, build by build, so that a slow spell of the machine does not
    # fall on one way's builds alone.
    times = {way: [] for way in ways}
    for _ in range(BUILD_REPEATS):
        for way, build in ways.items():
            gc.collect()
            gc.disable()  # a collection would walk the prepared lists and bill it to one way
            start = time.perf_counter_ns()
            built = build()
            times[way].append(time.perf_counter_ns() - start)
            gc.enable()
            del built
    rows = [{"way": way, "n": n, "d": d, "ns_per_record": statistics.median(spent) / n}
            for way, spent in times.items()]
    lists_ns = next(row["ns_per_record"] for row in rows if row["way"] == "insert python lists")
    for row in rows:
        row["ratio_loop"] = row["ns_per_record"] / rows[0]["ns_per_record"]
        row["speedup_vs_lists"] = lists_ns / row["ns_per_record"]
    return rows


def print_table(title, header, lines):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *lines)]
    print(f"\n== {title}")
    for line in [header, *lines]:
        print("  ".join(str(cell).ljust(w) if i == 0 else str(cell).rjust(w)
                        for i, (cell, w) in enumerate(zip(line, widths))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", required=True, help="path of libtarnix_stream_floor.so")
    parser.add_argument("--results", required=True)
    parser.add_argument("--chart", required=True)
    parser.add_argument("--quick", action="store_true", help="small sizes only, a smoke check")
    parser.add_argument("--pypy-batch", help="the batch rows batch_pypy.py wrote")
    parser.add_argument("--batch-only", action="store_true", help="measure the batch rows only")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"

    facts = machine_facts()
    print("== machine")
    for key, value in facts.items():
        print(f"{key:>12}: {value}")

    if args.batch_only:
        results = {"search": []}
        if os.path.exists(args.results):
            with open(args.results) as previous:
                results = json.load(previous)
        batch_rows = measure_batches(mode, args.pypy_batch)
        results.update({"batch_machine": facts, "batch": batch_rows})
        write_results(results, args)
        return

    search_rows, build_rows, memory_rows = [], [], []
    for n, d in SEARCH_SIZES[mode]:
        search_rows += measure_size(n, d, args.floor)
    for n, d in BUILD_SIZES[mode]:
        print(f"  build {n:,}×{d}", flush=True)
        build_rows += measure_build(n, d)
    for n, d in MEMORY_SIZES[mode]:
        print(f"  memory {n:,}×{d}", flush=True)
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            per_record = pool.apply(resident_per_record, (n, d))
        memory_rows.append({"n": n, "d": d, "bytes_per_record": per_record, "bound": 4 * d + 16})

    print_table(f"single-query search, top {peers.K}, median of {TIMED} (×floor: against the floor "
                "with the same threads; ×tarnix: against tarnix's search, timed in turn with it; "
                "a peer's ×floor is its ×tarnix times tarnix's search ×floor)",
                ["system", "threads", "size", "ms", "×floor", "×tarnix"],
                [[r["system"], r["threads"], f"{r['n']:,}×{r['d']}", f"{r['median_ns'] / 1e6:.3f}",
                  f"{r['ratio_floor']:.2f}", f"{r['ratio_tarnix']:.2f}"] for r in search_rows])
    print_table(f"build cost, median of {BUILD_REPEATS} builds taken in turn (fresh memory: writing n×d floats "
                "into memory new to the process, which every build must do)",
                ["way", "size", "ns/record", "×loop", "lists ÷ this"],
                [[r["way"], f"{r['n']:,}×{r['d']}", f"{r['ns_per_record']:.0f}",
                  f"{r['ratio_loop']:.2f}", f"{r['speedup_vs_lists']:.2f}"] for r in build_rows])
    print_table("resident memory of a store built from numpy rows",
                ["size", "bytes/record", "bound 4×d+16", "÷bound"],
                [[f"{m['n']:,}×{m['d']}", f"{m['bytes_per_record']:.1f}", m["bound"],
                  f"{m['bytes_per_record'] / m['bound']:.3f}"] for m in memory_rows])

    gc.collect()
    batch_rows = measure_batches(mode, args.pypy_batch)
    write_results({"machine": facts, "mode": mode, "search": search_rows, "build": build_rows,
                   "memory": memory_rows, "batch_machine": facts, "batch": batch_rows}, args)


def measure_batches(mode, pypy_batch):
    rows = []
    for n, d in batch.SIZES[mode]:
        rows += batch.measure(n, d, batch.QUERY_COUNTS[mode], batch.REPEATS[mode])
        gc.collect()
    if pypy_batch:
        with open(pypy_batch) as pypy:
            rows += json.load(pypy)
    print_table(f"batch search, top {batch.K}, per query: median of the repetitions taken in turn, "
                "[min, max] (×faiss BLAS: against faiss with its BLAS path forced; ×loop: against "
                f"the loop of search over the first {batch.LOOPED} queries; load: load average "
                "over the repetitions)",
                ["system", "threads", "size", "Q", "ms/query", "spread", "×faiss BLAS", "×loop", "load"],
                [[r["system"], r["threads"], f"{r['n']:,}×{r['d']}", r["queries"], f"{r['ms_per_query']:.2f}",
                  f"[{r['ms_per_query_min']:.2f}, {r['ms_per_query_max']:.2f}]",
                  f"{r['ratio_faiss_blas']:.2f}" if "ratio_faiss_blas" in r else "",
                  f"{r['ratio_search_loop']:.2f}",
                  f"{min(r['load_average']):.1f}-{max(r['load_average']):.1f}"] for r in rows])
    for r in rows:
        if "ratio_one_thread" in r:
            print(f"  search_many ×2 / ×1 at {r['n']:,}×{r['d']}, Q = {r['queries']}: {r['ratio_one_thread']:.2f}")
    return rows


def write_results(results, args):
    os.makedirs(os.path.dirname(os.path.abspath(args.results)), exist_ok=True)
    with open(args.results, "w") as out:
        json.dump(results, out, indent=1)
    chart.draw(results["search"], args.chart, results.get("batch", []))
    print(f"\nwrote {args.results} and {args.chart}")


if __name__ == "__main__":
    main()

"""Calls every callable of tarnix many times, successfully and failing, and reports how
the process's resident memory moved. Flat memory means no reference or buffer leaks.

    python bench/leak_check.py [calls]
"""
import array
import gc
import os
import sys

import tarnix

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


class Huge:
    """Passes the sequence check, claims a length no buffer can have: a panic."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        raise IndexError


class Subfloat(float):
    pass


def swallow(call):
    def run():
        try:
            call()
        except BaseException:
            pass

    return run


FLOATS = array.array("f", [1.0, 0.5, 0.25, 0.125])
DOUBLES = array.array("d", [1.0, 0.5, 0.25, 0.125])
GRID = memoryview(array.array("f", [1.0, 0.5, 0.25, 0.125])).cast("B").cast("f", (2, 2))
store = tarnix.Vectorstore(4, [([1.0, 2.0, 3.0, 4.0], n) for n in range(64)])
growing = [tarnix.Vectorstore(4)]
# Long vectors and long results take other routes than short ones on PyPy.
LONG = [0.5] * 2100
wide = tarnix.Vectorstore(2100, [(LONG, 1)])
many = tarnix.Vectorstore(4, [([1.0, 2.0, float(n), 4.0], n) for n in range(1100)])


def insert_ok(vector=(1.0, 2.0, 3.0, 4.0)):
    target = growing[0]
    target.insert(list(vector) if isinstance(vector, tuple) else vector, 1)
    if len(target) == 256:  # the store itself may grow; start afresh now and then
        growing[0] = tarnix.Vectorstore(4)


SCENARIOS = {
    "cosine_similarity ok": lambda: tarnix.cosine_similarity([1.0, 2.0, 3.0], [3.0, 2.0, 1.0]),
    "cosine_similarity bad dims": swallow(lambda: tarnix.cosine_similarity([1.0], [1.0, 2.0])),
    "cosine_similarity bad element": swallow(lambda: tarnix.cosine_similarity([1.0, "x"], [1.0, 2.0])),
    "cosine_similarity bad binding": swallow(lambda: tarnix.cosine_similarity([1.0], v=[1.0])),
    "Vectorstore ok": lambda: tarnix.Vectorstore(2, [([1.0, 2.0], 1), ([3.0, 4.0], 2)]),
    "Vectorstore bad pair": swallow(lambda: tarnix.Vectorstore(2, [([1.0, 2.0], 1), ([1.0], 2)])),
    "Vectorstore bad tuple": swallow(lambda: tarnix.Vectorstore(2, [([1.0, 2.0], 1, 3)])),
    "Vectorstore bad size": swallow(lambda: tarnix.Vectorstore(-1)),
    "insert ok": insert_ok,
    "insert bad length": swallow(lambda: store.insert([1.0], 3)),
    "insert bad id": swallow(lambda: store.insert([1.0, 2.0, 3.0, 4.0], "x")),
    "search ok": lambda: store.search([1.0, 0.5, 0.25, 0.125], 10),
    "search bad length": swallow(lambda: store.search([1.0], 3)),
    "search array.array": lambda: store.search(FLOATS, 10),
    "search tuple": lambda: store.search((1.0, 0.5, 0.25, 0.125), 10),
    "search ints": lambda: store.search([1, 2, 3, 4], 10),
    "search float subclass": lambda: store.search([1.0, 2.0, 3.0, Subfloat(4.0)], 10),
    "search long list": lambda: wide.search(LONG, 1),
    "search long result": lambda: many.search([1.0, 0.5, 0.25, 0.125], 1100),
    "search 2-d memoryview": swallow(lambda: store.search(GRID, 10)),
    "insert array.array": lambda: insert_ok(DOUBLES),
    "insert array.array, id out of range": swallow(lambda: store.insert(FLOATS, -1)),
    "insert array.array, bad length": swallow(lambda: store.insert(DOUBLES[:3], 1)),
    "Vectorstore bad length, then bad pair": swallow(lambda: tarnix.Vectorstore(2, [([1.0], 1), "x"])),
    "search bad top_k": swallow(lambda: store.search([1.0, 2.0, 3.0, 4.0], 2**40)),
    "search bad receiver": swallow(lambda: tarnix.Vectorstore.search(5, [1.0], 1)),
    "parallel_search ok": lambda: store.parallel_search([1.0, 0.5, 0.25, 0.125], 10, 2),
    "parallel_search default threads": lambda: store.parallel_search([1.0, 0.5, 0.25, 0.125], 3),
    "parallel_search bad n_threads": swallow(lambda: store.parallel_search([1.0, 2.0, 3.0, 4.0], 2, "x")),
    "parallel_search bad length": swallow(lambda: store.parallel_search([1.0], 3, 2)),
    "len": lambda: len(store),
    "repr": lambda: repr(store),
    "vector_size": lambda: store.vector_size,
    "panic": swallow(lambda: store.search(Huge(), 1)),
}


def measure(name, call, warm_up_rounds=3):
    # Warm-up: caches, allocator pools, the JIT, and on PyPy the garbage collector's
    # bookkeeping of objects made in C, which settles after a few hundred thousand.
    for _ in range(warm_up_rounds * CALLS):
        call()
    gc.collect()
    before = resident_kib()
    for _ in range(CALLS):
        call()
    gc.collect()
    return resident_kib() - before


def main():
    saved_stderr = os.dup(2)
    worst = 0
    print(f"{CALLS} calls each; growth of resident memory after warm-up:")
    for name, call in SCENARIOS.items():
        if name == "panic":  # every panic writes its report: keep the terminal quiet
            with open(os.devnull, "w") as devnull:
                os.dup2(devnull.fileno(), 2)
        try:
            grown = measure(name, call)
        finally:
            os.dup2(saved_stderr, 2)
        worst = max(worst, grown)
        print(f"  {name:38} {grown:+8d} KiB")
    print(f"largest growth: {worst} KiB")


if __name__ == "__main__":
    main()

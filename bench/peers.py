"""The systems the benchmark times. Each is a generator over one data set: it builds its
index, then yields (system, threads, search, top) for every way it is timed, and frees
the index when it is exhausted, so only one peer's copy of the data lives at a time.
search(q) answers one query; top(result) is the best id, for a light correctness check."""
import ctypes

import numpy as np

K = 10


def floor(X, library):
    lib = ctypes.CDLL(library)
    lib.tarnix_floor_read.restype = ctypes.c_float
    lib.tarnix_floor_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.tarnix_floor_read_parallel.restype = ctypes.c_float
    lib.tarnix_floor_read_parallel.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint]
    address, count = X.ctypes.data, X.size
    yield "floor", 1, lambda q: lib.tarnix_floor_read(address, count), None
    yield "floor", 2, lambda q: lib.tarnix_floor_read_parallel(address, count, 2), None


def tarnix(store):
    top = lambda hits: hits[0][1]
    yield "tarnix search", 1, lambda q: store.search(q, K), top
    yield "tarnix parallel_search", 1, lambda q: store.parallel_search(q, K, 1), top
    yield "tarnix parallel_search", 2, lambda q: store.parallel_search(q, K, 2), top


def numpy_brute(X):
    norms = np.linalg.norm(X, axis=1)

    def search(q):
        scores = (X @ q) / (norms * np.linalg.norm(q))
        best = np.argpartition(-scores, K)[:K]
        return best[np.argsort(-scores[best])]

    yield "numpy", 1, search, lambda best: int(best[0])


def faiss_flat(X):
    import faiss

    index = faiss.IndexFlatIP(X.shape[1])
    index.add(X / np.linalg.norm(X, axis=1, keepdims=True))

    def search(q):
        return index.search((q / np.linalg.norm(q)).reshape(1, -1), K)

    for threads in (1, 2):
        faiss.omp_set_num_threads(threads)
        yield "faiss IndexFlatIP", threads, search, lambda found: int(found[1][0, 0])


def usearch_exact(X):
    from usearch.index import MetricKind, search

    for threads in (1, 2):
        yield ("usearch exact", threads,
               lambda q, t=threads: search(X, q, K, MetricKind.Cos, exact=True, threads=t),
               lambda matches: int(matches.keys[0]))


def hnswlib_bf(X):
    import hnswlib

    index = hnswlib.BFIndex(space="cosine", dim=X.shape[1])
    index.init_index(max_elements=len(X))
    index.add_items(X, np.arange(len(X)))
    yield ("hnswlib BFIndex", 1, lambda q: index.knn_query(q, k=K, num_threads=1),
           lambda found: int(found[0][0, 0]))


PEERS = (numpy_brute, faiss_flat, usearch_exact, hnswlib_bf)

"""One shard: a tarnix store inside a Ray actor, answering its own top k."""
import numpy as np
import ray

import tarnix


def _search_threads():
    # As many threads as the CPUs Ray gave the actor, one for a share of a CPU; an actor
    # that reserved none (Ray's default) takes the store's default, every processor.
    cpus = ray.get_runtime_context().get_assigned_resources().get("CPU", 0)
    return max(1, int(cpus)) if cpus > 0 else None


class Shard:
    """Holds one contiguous run of the records. Every answer carries the shard's record
    count, so that the coordinator notices a shard that came back with fewer (an actor
    that Ray restarted on its own starts empty)."""

    def __init__(self, vector_size):
        self._store = tarnix.Vectorstore(vector_size)
        self._threads = _search_threads()

    def load(self, path, mmap):
        store = tarnix.Vectorstore.load(path, mmap=mmap)
        if store.vector_size != self._store.vector_size:
            raise ValueError("%s holds vectors of size %d but the sharded store's have size %d"
                             % (path, store.vector_size, self._store.vector_size))
        self._store = store
        return len(self._store)

    def insert_many(self, vectors, ids):
        self._store.insert_many(vectors, ids)
        return len(self._store)

    def search_many(self, queries, top_k):
        scores, ids = self._store.search_many(queries, top_k, self._threads, as_arrays=True)
        return np.asarray(scores), np.asarray(ids), len(self._store)

    def save(self, path):
        self._store.save(path)
        return len(self._store)

    def size(self):
        return len(self._store)

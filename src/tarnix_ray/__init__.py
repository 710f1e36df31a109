"""A tarnix store sharded over Ray actors that answers as one store, bit for bit.

    import ray, tarnix_ray
    ray.init()
    store = tarnix_ray.ShardedVectorstore(384, shard_capacity=1_000_000)
    store.insert_many(vectors, ids)             # float32 rows, uint64 ids
    hits = store.search(query, 10)              # [(score, id), ...], best first
    scores, ids = store.search_many(queries, 10, as_arrays=True)
    store.save("embeddings.shards")
    again = tarnix_ray.ShardedVectorstore.load("embeddings.shards", mmap=True)

Records fill the last shard up to `shard_capacity`, then a new shard (a new actor)
starts, so every shard holds a contiguous run of insertion order. A search asks every
shard for its own top k at once and merges them on the caller by score, ties in shard
order: the answer is `tarnix.Vectorstore.search` / `search_many` of one store holding the
same records in the same order, every score's bits, every id, tie order and NaN placement
included, for every shard capacity and every top_k. Queries and records are checked by
the store's own code on the caller, with its exceptions and messages.

What survives an actor's death: everything. The caller keeps, for every shard, the file it
was last saved to or loaded from (or none) and the records sent to it since, in order, as
objects in Ray's object store. A call that finds a shard's actor dead (or holding other
than its records, as an actor that Ray restarted on its own would) starts a new actor,
loads that file, replays those records and asks it once more; never is an answer made of
fewer shards. If the shard cannot be rebuilt (the file is gone, the log's objects were
lost with their node, or the new actor dies too) the call raises ShardLostError, and so
does every later call that needs that shard until one rebuilds it. The log costs Ray's
object store a copy of every record inserted since the last save: save() empties it. The
caller itself is the one thing not kept: when its process ends, what was not saved is gone.

save(directory) writes one store file per shard and manifest.json into a fresh directory
beside `directory`, flushed to the disk, then puts it in place of `directory` (which must
be absent, empty or a directory saved by save) in one step where Linux can swap two
directories, and removes the old one; a save that fails leaves the old directory as it
was. Shards write their own files, so on a cluster `directory` must be one path on a file
system that every node shares. Only `insert`, `insert_many`, `search`, `search_many`,
`save` and `load` of the tarnix store are offered; one coordinator serves one thread at a
time (its methods take a lock). Ray has no PyPy build: this module runs on CPython only.
"""
try:
    import numpy  # noqa: F401
    import ray  # noqa: F401
except ImportError as exc:
    raise ImportError("tarnix_ray needs Ray and numpy: install them with pip install 'tarnix[ray]'") from exc

from tarnix_ray._sharded import DEFAULT_SHARD_CAPACITY, ShardedVectorstore, ShardLostError

__all__ = ["ShardedVectorstore", "ShardLostError", "DEFAULT_SHARD_CAPACITY"]

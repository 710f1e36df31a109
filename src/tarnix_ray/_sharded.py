"""The coordinator: a store sharded over Ray actors that answers as one store."""
import operator
import os
import shutil
import threading

import numpy as np
import ray
from ray.exceptions import RayActorError, RayError, RayTaskError

import tarnix
from tarnix_ray import _directory
from tarnix_ray._merge import merge_top_k
from tarnix_ray._shard import Shard

_RemoteShard = ray.remote(Shard)

DEFAULT_SHARD_CAPACITY = 1_000_000
# Records of insert() wait on the driver and go to the shards in one call, before anything
# that reads the shards and whenever this many have gathered.
_PENDING_LIMIT = 4096


class ShardLostError(RuntimeError):
    """A shard's actor died and could not be brought back with every record it held."""


class _ShardState:
    """What the driver keeps of one shard: its actor, the records it must hold, and how to
    rebuild it: the file it was last saved to or loaded from (or none), and the records
    sent since, in order, as objects in Ray's object store."""

    __slots__ = ("actor", "count", "base", "log")

    def __init__(self, actor):
        self.actor = actor
        self.count = 0
        self.base = None
        self.log = []


class _Lost:
    def __init__(self, why):
        self.why = why


def _record_arrays(vectors, ids, vector_size):
    """The records as float32 rows and uint64 ids that need no conversion, or None when
    the store's own conversion (and its checks and messages) must see them."""
    if not (isinstance(vectors, np.ndarray) and isinstance(ids, np.ndarray)):
        return None
    if vectors.dtype != np.float32 or vectors.ndim != 2 or vectors.shape[1] != vector_size:
        return None
    if not vectors.flags.c_contiguous or ids.ndim != 1 or len(ids) != len(vectors):
        return None
    if ids.dtype == np.uint64:
        return vectors, ids
    if ids.dtype == np.int64 and (ids >= 0).all():
        return vectors, ids.view(np.uint64)
    return None


def _describe(error):
    # Ray's own texts run over many lines, with the remote traceback: the gist is enough.
    if isinstance(error, RayTaskError) and isinstance(error.cause, BaseException):
        return "%s: %s" % (type(error.cause).__name__, error.cause)
    if isinstance(error, RayActorError):
        return "its actor died"
    return "%s: %s" % (type(error).__name__, str(error).splitlines()[0] if str(error) else "")


def _raise_cause(error):
    # A failure inside a shard's method is the store's own exception, raised again here.
    if isinstance(error.cause, BaseException):
        raise error.cause from None
    raise error


class ShardedVectorstore:
    """Records in contiguous runs of insertion order, one run of up to `shard_capacity`
    records per Ray actor; searches ask every shard at once and merge on the caller into
    exactly the answer of one tarnix.Vectorstore holding the same records in the same
    order. See the module's documentation for what survives an actor's death."""

    def __init__(self, vector_size, *, shard_capacity=DEFAULT_SHARD_CAPACITY, actor_options=None):
        # An empty store that checks queries with the store's own checks and messages.
        self._probe = tarnix.Vectorstore(vector_size)
        capacity = operator.index(shard_capacity)
        if capacity < 1:
            raise ValueError("shard_capacity must be at least 1")
        self._vector_size = self._probe.vector_size
        self._capacity = capacity
        self._actor_options = dict(actor_options or {})
        self._pending = tarnix.Vectorstore(self._vector_size)
        self._shards = []
        self._mmap = False
        self._lock = threading.RLock()

    @property
    def vector_size(self):
        return self._vector_size

    @property
    def shard_capacity(self):
        return self._capacity

    @property
    def shard_count(self):
        with self._lock:
            self._flush()
            return len(self._shards)

    def __len__(self):
        with self._lock:
            return sum(shard.count for shard in self._shards) + len(self._pending)

    def __repr__(self):
        return "ShardedVectorstore(vector_size=%d, len=%d, shard_capacity=%d)" % (
            self._vector_size, len(self), self._capacity)

    def insert(self, vector, id):
        with self._lock:
            self._pending.insert(vector, id)
            if len(self._pending) >= _PENDING_LIMIT:
                self._flush()

    def insert_many(self, vectors, ids):
        with self._lock:
            ready = _record_arrays(vectors, ids, self._vector_size)
            if ready is None:
                # Converted and checked whole by the store, all or nothing, then sent.
                self._pending.insert_many(vectors, ids)
                self._flush()
            else:
                self._flush()
                self._send(*ready)

    def search(self, vector, top_k):
        with self._lock:
            self._probe.search(vector, top_k)
            converted = tarnix.Vectorstore(self._vector_size)
            converted.insert(vector, 0)
            scores, ids = self._search(np.asarray(converted.vectors()), operator.index(top_k))
            return list(zip(scores[0].tolist(), ids[0].tolist()))

    def search_many(self, vectors, top_k, *, as_arrays=False):
        with self._lock:
            self._probe.search_many(vectors, top_k, as_arrays=as_arrays)
            scores, ids = self._search(self._query_rows(vectors), operator.index(top_k))
            if as_arrays:
                return memoryview(scores), memoryview(ids)
            return [list(zip(s, i)) for s, i in zip(scores.tolist(), ids.tolist())]

    def save(self, directory):
        """One store file per shard and a manifest, written into a fresh directory beside
        `directory` that then takes its place whole; the directory that was there (which
        must be empty or one saved here) is removed."""
        with self._lock:
            self._flush()
            target = os.path.abspath(os.fsdecode(os.fspath(directory)))
            _directory.check_replaceable(target)
            fresh = _directory.fresh_directory_beside(target)
            try:
                paths = [os.path.join(fresh, _directory.shard_file(i)) for i in range(len(self._shards))]
                self._on_shards(lambda i, actor: actor.save.remote(paths[i]))
                _directory.write_manifest(fresh, self._vector_size, self._capacity,
                                          [shard.count for shard in self._shards])
                _directory.replace_directory(fresh, target)
            except BaseException:
                shutil.rmtree(fresh, ignore_errors=True)
                raise
            for i, shard in enumerate(self._shards):
                shard.base = os.path.join(target, _directory.shard_file(i))
                shard.log = []

    @classmethod
    def load(cls, directory, *, mmap=False, actor_options=None):
        """The store saved in `directory`, each shard's actor loading its own file (mapped
        with mmap=True, so that actors on one node share its pages)."""
        if not isinstance(mmap, bool):
            raise TypeError("argument 'mmap': '%s' object is not an instance of 'bool'" % type(mmap).__name__)
        source = os.path.abspath(os.fsdecode(os.fspath(directory)))
        vector_size, capacity, counts = _directory.read_manifest(source)
        store = cls(vector_size, shard_capacity=capacity, actor_options=actor_options)
        store._mmap = mmap
        loads = []
        for i, count in enumerate(counts):
            shard = _ShardState(store._start_actor())
            shard.base = os.path.join(source, _directory.shard_file(i))
            shard.count = count
            store._shards.append(shard)
            loads.append(shard.actor.load.remote(shard.base, mmap))
        for shard, load in zip(store._shards, loads):
            try:
                loaded = ray.get(load)
            except RayTaskError as exc:
                _raise_cause(exc)
            if loaded != shard.count:
                raise ValueError("%s holds %d records but the manifest says %d" % (shard.base, loaded, shard.count))
        return store

    # The shards.

    def _start_actor(self):
        return _RemoteShard.options(**self._actor_options).remote(self._vector_size)

    def _query_rows(self, vectors):
        if (isinstance(vectors, np.ndarray) and vectors.dtype == np.float32 and vectors.ndim == 2
                and vectors.flags.c_contiguous):
            return vectors
        # Converted as the store converts them (already checked by the probe).
        converted = tarnix.Vectorstore(self._vector_size)
        converted.insert_many(vectors, np.zeros(len(vectors), np.uint64))
        return np.asarray(converted.vectors())

    def _search(self, queries, top_k):
        self._flush()
        if not self._shards:
            return merge_top_k([], top_k, len(queries))
        shared = ray.put(queries)
        answers = self._on_shards(lambda i, actor: actor.search_many.remote(shared, top_k))
        return merge_top_k([(scores, ids) for scores, ids, _ in answers], top_k, len(queries))

    def _flush(self):
        if len(self._pending):
            vectors, ids = np.asarray(self._pending.vectors()), np.asarray(self._pending.ids())
            self._pending = tarnix.Vectorstore(self._vector_size)
            self._send(vectors, ids)

    def _send(self, vectors, ids):
        # 1. Records fill the last shard up to its capacity, then new shards, each run put
        #    once into Ray's object store, where the shard's log keeps it;
        # 2. every shard that receives a run gets it at once;
        # 3. a shard that died meanwhile is rebuilt with its log, this run included.
        sent = {}
        start = 0
        while start < len(vectors):
            if not self._shards or self._shards[-1].count == self._capacity:
                self._shards.append(_ShardState(self._start_actor()))
            index = len(self._shards) - 1
            shard = self._shards[index]
            take = min(self._capacity - shard.count, len(vectors) - start)
            run = (ray.put(vectors[start:start + take]), ray.put(ids[start:start + take]))
            shard.log.append(run)
            shard.count += take
            sent[index] = run
            start += take
        self._on_shards(lambda i, actor: actor.insert_many.remote(*sent[i]), sorted(sent), replayed=True)

    def _on_shards(self, submit, indices=None, replayed=False):
        """The answers of `submit(index, actor)` on the shards, in shard order, each
        checked to come from a shard holding every record it should.

        A shard whose actor died, or that holds other than its records, is rebuilt and
        asked once more; with `replayed`, the request was a log entry, which the rebuild
        has already replayed. A shard that cannot be rebuilt, or that fails again, raises
        ShardLostError: no answer is made of fewer shards than there are.
        """
        if indices is None:
            indices = range(len(self._shards))
        requests = [(i, submit(i, self._shards[i].actor)) for i in indices]
        answers = []
        for i, request in requests:
            answer = self._collect(i, request)
            if isinstance(answer, _Lost):
                self._rebuild(i, answer.why)
                if replayed:
                    answers.append(None)
                    continue
                answer = self._collect(i, submit(i, self._shards[i].actor))
                if isinstance(answer, _Lost):
                    raise ShardLostError("shard %d failed again after it was rebuilt: %s" % (i, answer.why))
            answers.append(answer)
        return answers

    def _collect(self, index, request):
        try:
            answer = ray.get(request)
        except RayActorError as exc:
            return _Lost(_describe(exc))
        except RayTaskError as exc:
            _raise_cause(exc)
        count = answer if isinstance(answer, int) else answer[-1]
        if count != self._shards[index].count:
            return _Lost("it holds %d records where it should hold %d" % (count, self._shards[index].count))
        return answer

    def _rebuild(self, index, why):
        """A new actor for shard `index`, made of its last file and the records sent since."""
        shard = self._shards[index]
        try:
            ray.kill(shard.actor)  # what is left of the old one goes for good
        except (RayError, ValueError):
            pass
        actor = self._start_actor()
        try:
            steps = [actor.load.remote(shard.base, self._mmap)] if shard.base is not None else []
            steps += [actor.insert_many.remote(*run) for run in shard.log]
            ray.get(steps)
            count = ray.get(actor.size.remote())
        except RayError as exc:
            source = shard.base or "an empty store"
            raise ShardLostError("shard %d was lost (%s) and could not be rebuilt from %s and the %d runs of records "
                                 "sent since: %s" % (index, why, source, len(shard.log), _describe(exc))) from exc
        if count != shard.count:
            raise ShardLostError("shard %d was rebuilt with %d records where it should hold %d"
                                 % (index, count, shard.count))
        shard.actor = actor

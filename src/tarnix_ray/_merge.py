"""The merge of the shards' top k into the one store's top k, bit for bit."""
import numpy as np

# Above every key a number gets: NaN scores rank after every other score.
_NAN_KEY = np.iinfo(np.int64).max


def descending_keys(scores):
    """Integer keys whose ascending order is the store's candidate order of `scores`.

    The store ranks a higher score first, NaN after every number, and takes +0.0 and -0.0
    (and NaNs among themselves) as equal. Comparing floats would leave that to numpy's
    sorts; integers leave nothing to them. A float32's bits, read as an int32 with the
    magnitude bits of negative numbers flipped, rise with its value.
    """
    scores = np.asarray(scores, dtype=np.float32)
    signed = np.where(scores == 0, np.float32(0), scores).view(np.int32).astype(np.int64)
    rising = np.where(signed < 0, signed ^ 0x7FFFFFFF, signed)
    keys = -rising
    keys[np.isnan(scores)] = _NAN_KEY
    return keys


def merge_top_k(parts, top_k, queries):
    """The best min(top_k, total) of every query's hits over `parts`, best first.

    `parts` holds, in shard order, each shard's (scores, ids): float32 and uint64 arrays of
    shape (queries, hits of that shard), every row in the store's candidate order. Shards
    hold contiguous runs of insertion order, so a stable sort of the rows put side by side
    in shard order ranks equal scores in insertion order, as one store does.
    """
    if not parts:
        return np.zeros((queries, 0), np.float32), np.zeros((queries, 0), np.uint64)
    scores = np.concatenate([s for s, _ in parts], axis=1)
    ids = np.concatenate([i for _, i in parts], axis=1)
    kept = min(top_k, scores.shape[1])
    order = np.argsort(descending_keys(scores), axis=1, kind="stable")[:, :kept]
    return (np.ascontiguousarray(np.take_along_axis(scores, order, axis=1)),
            np.ascontiguousarray(np.take_along_axis(ids, order, axis=1)))

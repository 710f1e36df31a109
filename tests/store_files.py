"""Helpers for the tests of saved and pickled stores: stores of known records, their answers
as bits, and where each part of a store file lies."""
import random
import struct

import tarnix

HEADER_BYTES = 128
SECTION_NAMES = ("vectors", "norms", "ids")


def make_store(dim, count, seed=0):
    rng = random.Random(seed)
    records = [([rng.uniform(-1.0, 1.0) for _ in range(dim)], rng.getrandbits(64)) for _ in range(count)]
    return tarnix.Vectorstore(dim, records)


def queries(dim, seed=1):
    rng = random.Random(seed)
    return [[rng.uniform(-1.0, 1.0) for _ in range(dim)] for _ in range(2)]


def answers(store):
    """Every record's score for a few queries, as bits, with the ids in answer order."""
    top = len(store) + 1
    return [[(struct.pack("<d", s), i) for s, i in store.search(q, top)] for q in queries(store.vector_size)]


def sections(image):
    """(name, offset, length) of each section, read from a valid image's header."""
    out = []
    for k, name in enumerate(SECTION_NAMES):
        offset, length = struct.unpack_from("<QQ", image, 32 + 24 * k)
        out.append((name, offset, length))
    return out

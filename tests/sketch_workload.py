"""Stores and queries for the differential tests of the sketch: seeded, and rich in
what the bound must survive (ties, duplicates, zeros, NaN, infinities, subnormal and
huge rows, one huge component among tiny ones, dimensions off the lane widths)."""
import random

INF = float("inf")
NAN = float("nan")


def gaussian(rng, dim, scale=1.0):
    return [rng.gauss(0.0, scale) for _ in range(dim)]


def special(rng, dim, roll):
    """A vector that the bound cannot cover, or that is hard for it."""
    if dim == 0:
        return []
    vec = gaussian(rng, dim)
    if roll == 0:
        return [0.0] * dim
    if roll == 1:
        vec[rng.randrange(dim)] = NAN
    elif roll == 2:
        vec[rng.randrange(dim)] = rng.choice([INF, -INF])
    elif roll == 3:
        vec = [x * 1e-42 for x in vec]  # subnormal
    elif roll == 4:
        vec = [max(-3.4e38, min(3.4e38, x * 1e38)) for x in vec]  # near the float32 maximum
    elif roll == 5:
        vec = [x * 1e-7 for x in vec]
        vec[rng.randrange(dim)] = 1e3  # one huge component among tiny ones
    elif roll == 6:
        vec = [x * 1e-25 for x in vec]  # products that underflow float32
    return vec


def queries_for(rng, dim, records):
    picks = [records[rng.randrange(len(records))][0] for _ in range(3)] if records else []
    near = [[x + rng.gauss(0.0, 0.01) for x in v] for v in picks]
    return picks + near + [gaussian(rng, dim), [-x for x in picks[0]] if picks else [0.0] * dim] + [
        special(rng, dim, roll) for roll in range(7)
    ]


def store_cases():
    """(name, dim, records, queries, top_ks) for each store."""
    rng = random.Random(19)
    cases = []

    # Small stores with a tail, every top_k from 0 to past the size.
    for dim in (0, 1, 3, 9):
        count = 64 * 2 + 5
        records = [(gaussian(rng, dim) if i % 11 else special(rng, dim, i % 7), rng.randrange(2**64)) for i in range(count)]
        queries = queries_for(rng, dim, records)[:: 3 if dim else 15]
        cases.append(("small", dim, records, queries, list(range(count + 2))))

    top_ks = [1, 2, 3, 7, 10, 33, 64, 100, 300]
    # Gaussian, with special rows sprinkled in.
    dim = 13
    records = [(gaussian(rng, dim) if i % 50 else special(rng, dim, i % 7), i) for i in range(64 * 40 + 17)]
    cases.append(("gaussian", dim, records, queries_for(rng, dim, records), top_ks))

    # Clustered: queries near centres, many records within one bound of each other.
    dim = 33
    centres = [gaussian(rng, dim) for _ in range(12)]
    records = [([c + rng.gauss(0.0, 0.05) for c in centres[i % 12]], i % 97) for i in range(64 * 30 + 1)]
    queries = [[c + rng.gauss(0.0, 0.01) for c in centres[q]] for q in range(4)] + queries_for(rng, dim, records)
    cases.append(("clustered", dim, records, queries, top_ks))

    # Duplicates and exact ties at the cut: copies of one vector, and small integers.
    dim = 5
    top = gaussian(rng, dim)
    records = []
    for i in range(64 * 20 + 3):
        if i % 37 == 0:
            vec = list(top)
        else:
            vec = [float(rng.randint(-2, 2)) for _ in range(dim)]
        records.append((vec, i))
    queries = [top, [1.0, 0.0, 0.0, 0.0, 0.0], [1.0, 1.0, 1.0, 1.0, 1.0]] + queries_for(rng, dim, records)
    cases.append(("ties", dim, records, queries, [1, 5, 20, 34, 35, 36, 40, 100, 200]))

    # Every record the same: nothing can be skipped.
    dim = 7
    same = gaussian(rng, dim)
    records = [(list(same), i) for i in range(64 * 10)]
    cases.append(("identical", dim, records, queries_for(rng, dim, records), [1, 10, 80]))
    return cases


def results(store, queries, top_ks, threads=(1, 3)):
    """Every search of every query, and batches of them all and of a few (queries the
    sketch covers mixed with those it does not), as lists of (score, id); small stores
    (where each search costs little beside starting its threads) use one thread count."""
    if len(top_ks) > 100:
        threads = threads[-1:]
    out = []
    for query in queries:
        for top_k in top_ks:
            out.append(store.search(query, top_k))
            for n in threads:
                out.append(store.parallel_search(query, top_k, n))
    for top_k in top_ks:
        for n in threads:
            out.extend(store.search_many(queries, top_k, n))
            for first in range(0, len(queries), 3):  # small batches, which use the sketch
                out.extend(store.search_many(queries[first : first + 3], top_k, n))
    return out

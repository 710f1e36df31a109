"""Builds a store of a few thousand random vectors and shows what search returns."""
import random
import time

import tarnix

DIMENSION = 64
COUNT = 5000

rng = random.Random(7)
store = tarnix.Vectorstore(DIMENSION)
for record_id in range(COUNT):
    store.insert([rng.gauss(0.0, 1.0) for _ in range(DIMENSION)], record_id)
print(store)

# A query near one stored vector finds that vector first.
query = [rng.gauss(0.0, 1.0) for _ in range(DIMENSION)]
store.insert(query, 999_999)
noisy = [x + rng.gauss(0.0, 0.05) for x in query]

started = time.perf_counter()
hits = store.search(noisy, 5)
elapsed = time.perf_counter() - started
print(f"search over {len(store)} vectors of dimension {DIMENSION} took {elapsed * 1000:.2f} ms")
for rank, (score, record_id) in enumerate(hits, 1):
    print(f"  {rank}. id {record_id:>7}  score {score:.7f}")

print("cosine_similarity([1, 2, 3], [4, 5, 6]) =", tarnix.cosine_similarity([1, 2, 3], [4, 5, 6]))

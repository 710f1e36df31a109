# Checked by mypy in test_stubs.py, never run: each line that mypy must refuse ends in a
# comment E: with the error codes it must give; every other line must pass.
import array
import pathlib
import pickle
from typing import List, Tuple

import numpy as np
from typing_extensions import assert_type

import tarnix
from tarnix import Vectorstore, cosine_similarity


class Index:
    def __index__(self) -> int:
        return 7


store = Vectorstore(3)
store = Vectorstore(3, [([1.0, 2.0, 3.0], 1), ((1, 2, 3), Index())])
store = Vectorstore(vector_size=Index(), vectors=None)
store.insert([1.0, 2.0, 3.0], 7)
store.insert((1, 2, True), id=2**64 - 1)
store.insert(array.array("f", [1.0, 2.0, 3.0]), 8)
store.insert(memoryview(array.array("d", [1.0, 2.0, 3.0])), 9)
store.insert(np.zeros(3, dtype=np.float32), 10)
hits = store.search([1.0, 2.0, 3.0], 2)
assert_type(hits, List[Tuple[float, int]])
assert_type(store.parallel_search([1.0, 2.0, 3.0], top_k=2), List[Tuple[float, int]])
assert_type(store.parallel_search([1.0, 2.0, 3.0], 2, n_threads=None), List[Tuple[float, int]])
assert_type(store.parallel_search(np.ones(3), 2, 2), List[Tuple[float, int]])
assert_type(store.search_many([[1.0, 2.0, 3.0], (1, 2, 3)], 2), List[List[Tuple[float, int]]])
assert_type(store.search_many(np.ones((4, 3), dtype=np.float32), top_k=2, n_threads=2), List[List[Tuple[float, int]]])
assert_type(store.search_many([array.array("f", [1.0, 2.0, 3.0])], 1, None), List[List[Tuple[float, int]]])
store.insert_many([[1.0, 2.0, 3.0], (1, 2, 3)], [1, Index()])
store.insert_many(np.ones((4, 3), dtype=np.float32), np.arange(4, dtype=np.uint64))
store.insert_many(vectors=[array.array("d", [1.0, 2.0, 3.0])], ids=array.array("Q", [5]))
assert_type(store.search_many([[1.0, 2.0, 3.0]], 2, as_arrays=True), Tuple[memoryview, memoryview])
assert_type(store.search_many([[1.0, 2.0, 3.0]], 2, None, as_arrays=False), List[List[Tuple[float, int]]])
assert_type(store.vectors(), memoryview)
assert_type(store.ids(), memoryview)
assert_type(store.vector_size, int)
assert_type(len(store), int)
assert_type(repr(store), str)
assert_type(cosine_similarity([1.0, 2.0], (3, 4)), float)
assert_type(tarnix.cosine_similarity(vec1=b"\x01\x02", vec2=[1.0, 2.0]), float)
assert_type(tarnix.__version__, str)
store.save("store.tnx")
store.save(b"store.tnx")
store.save(pathlib.Path("store.tnx"))
assert_type(Vectorstore.load("store.tnx"), Vectorstore)
assert_type(Vectorstore.load(pathlib.Path("store.tnx"), mmap=True), Vectorstore)
pickle.loads(pickle.dumps(store, protocol=5))

Vectorstore()  # E: call-arg
Vectorstore("3")  # E: arg-type
Vectorstore(3, [[1.0, 2.0, 3.0]])  # E: list-item
Vectorstore(3, [([1.0], "1")])  # E: list-item
Vectorstore(3, {([1.0], 1)})  # E: arg-type
store.insert("abc", 1)  # E: arg-type
store.insert([1.0, "2"], 1)  # E: list-item
store.insert([1.0], 1.5)  # E: arg-type
store.insert([1.0])  # E: call-arg
store.search({1.0: 2.0}, 1)  # E: arg-type
store.search((x for x in [1.0]), 1)  # E: arg-type
store.search([1.0], k=1)  # E: call-arg
store.parallel_search([1.0], 1, n_threads=1.0)  # E: arg-type
store.search_many([1.0, 2.0, 3.0], 1)  # E: list-item
store.search_many([[1.0]], k=1)  # E: call-overload
store.save(3)  # E: arg-type
Vectorstore.load("store.tnx", mmap="yes")  # E: arg-type
store.insert_many([[1.0]], [1.5])  # E: list-item
store.insert_many([[1.0]])  # E: call-arg
store.search_many([[1.0]], 1, None, True)  # E: call-overload
store.search_many([[1.0]], 1, as_arrays=1)  # E: call-overload
store.vectors(1)  # E: call-arg
store.vector_size = 4  # E: misc
store.missing  # E: attr-defined
cosine_similarity([1.0])  # E: call-arg
cosine_similarity([1.0], None)  # E: arg-type
hits.append((1.0, "id"))  # E: arg-type
tarnix.PanicException  # E: attr-defined


class Derived(Vectorstore):  # E: misc
    pass

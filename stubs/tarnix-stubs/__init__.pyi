# Types of the extension module tarnix, which carries none of its own; type checkers
# read this stub-only package (PEP 561) in its place. Never imported at run time, so
# typing_extensions here is no dependency of the module.
from os import PathLike
from typing import Literal, Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Union, overload

from typing_extensions import Buffer, TypeAlias, final

__all__ = ["Vectorstore", "cosine_similarity"]
__version__: str

_Number: TypeAlias = Union[SupportsFloat, SupportsIndex]

# numpy arrays and their kin, which are no Sequence to a type checker (and a Buffer only
# from Python 3.12 on), but which the module reads as sequences of numbers.
class _Array(Protocol):
    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

# A vector is any sequence of numbers (str is none: its items are str), an array, or an
# object with the buffer protocol (array.array, memoryview, bytes).
_Vector: TypeAlias = Union[Sequence[_Number], _Array, Buffer]
# A batch of queries: a sequence of vectors, or a two-dimensional array of them.
_Batch: TypeAlias = Union[Sequence[_Vector], _Array]
# Many ids: a sequence of ints, or a one-dimensional array of 64-bit integers.
_Ids: TypeAlias = Union[Sequence[SupportsIndex], _Array, Buffer]
# One result: the score (a float32 widened to float) and the record's id, best first.
_Hit: TypeAlias = tuple[float, int]
# A file system path, as os.fspath takes it.
_Path: TypeAlias = Union[str, bytes, PathLike[str], PathLike[bytes]]

@final
class Vectorstore:
    def __new__(
        cls,
        vector_size: SupportsIndex,
        vectors: Optional[Sequence[tuple[_Vector, SupportsIndex]]] = None,
    ) -> Vectorstore: ...
    @property
    def vector_size(self) -> int: ...
    def __len__(self) -> int: ...
    def __repr__(self) -> str: ...
    def insert(self, vector: _Vector, id: SupportsIndex) -> None: ...
    def insert_many(self, vectors: _Batch, ids: _Ids) -> None: ...
    def search(self, vector: _Vector, top_k: SupportsIndex) -> list[_Hit]: ...
    def parallel_search(
        self, vector: _Vector, top_k: SupportsIndex, n_threads: Optional[SupportsIndex] = None
    ) -> list[_Hit]: ...
    # With as_arrays, (scores, ids): memoryviews of shape (len(vectors), min(top_k, len(self))),
    # float32 and uint64, that numpy.asarray wraps without a copy.
    @overload
    def search_many(
        self,
        vectors: _Batch,
        top_k: SupportsIndex,
        n_threads: Optional[SupportsIndex] = None,
        *,
        as_arrays: Literal[False] = False,
    ) -> list[list[_Hit]]: ...
    @overload
    def search_many(
        self,
        vectors: _Batch,
        top_k: SupportsIndex,
        n_threads: Optional[SupportsIndex] = None,
        *,
        as_arrays: Literal[True],
    ) -> tuple[memoryview, memoryview]: ...
    def save(self, path: _Path) -> None: ...
    @classmethod
    def load(cls, path: _Path, *, mmap: bool = False) -> Vectorstore: ...
    # Copies of the records in insertion order: shape (len(self), vector_size), float32,
    # and shape (len(self),), uint64.
    def vectors(self) -> memoryview: ...
    def ids(self) -> memoryview: ...
    @property
    def has_sketch(self) -> bool: ...
    def build_sketch(self) -> None: ...
    def drop_sketch(self) -> None: ...

def cosine_similarity(vec1: _Vector, vec2: _Vector) -> float: ...

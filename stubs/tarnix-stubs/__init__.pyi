# Types of the extension module tarnix, which carries none of its own; type checkers
# read this stub-only package (PEP 561) in its place. Never imported at run time, so
# typing_extensions here is no dependency of the module.
from typing import Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Union

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
# One result: the score (a float32 widened to float) and the record's id, best first.
_Hit: TypeAlias = tuple[float, int]

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
    def search(self, vector: _Vector, top_k: SupportsIndex) -> list[_Hit]: ...
    def parallel_search(
        self, vector: _Vector, top_k: SupportsIndex, n_threads: Optional[SupportsIndex] = None
    ) -> list[_Hit]: ...
    def search_many(
        self, vectors: _Batch, top_k: SupportsIndex, n_threads: Optional[SupportsIndex] = None
    ) -> list[list[_Hit]]: ...
    @property
    def has_sketch(self) -> bool: ...
    def build_sketch(self) -> None: ...
    def drop_sketch(self) -> None: ...

def cosine_similarity(vec1: _Vector, vec2: _Vector) -> float: ...

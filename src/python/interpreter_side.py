"""The module's own code that runs inside the interpreter.

PyPy maps every object that C code is handed or reads into a C-level copy, which costs
far more than the work it carries; its own JIT-compiled code is cheap. So on PyPy plain
inputs and the result lists cross as raw memory: the functions here read or write native
memory through cffi's backend (built into PyPy), and the module hands them addresses of
memory it owns. The build embeds this file in the module, which runs it once at import
as the module "tarnix._interpreter_side" (shown so in tracebacks); it is not importable.

Rules every function keeps:
1. A list of the caller's is read as it is at one instant. While another Python thread
   is alive, or a trace or profile function is set, either could change the list between
   two reads of its items, so it is first copied in one step that runs no Python code (a
   slice); else it is read where it is, which is as fast as PyPy gets (the copy would
   double the time). Arrays are always copied in one step (their bytes taken), since
   resizing one frees its storage. Signal handlers and finalizers run where a thread
   switch could and are not guarded against: a list one of them changes may be read in
   part before and in part after, never past its end.
2. Items are looked at by exact type and value only, so nothing of the caller's runs: the
   general conversion gives the same floats, errors and side effects for every input a
   function answers for. Anything else it declines, and the module converts it the
   general way.
3. Native memory is written only below the bounds the module passed in, however the
   objects read change meanwhile.
"""

try:
    from _cffi_backend import FFI
except ImportError:  # CPython without cffi: the module then uses none of the crossings
    FFI = None

from _thread import _count as _other_threads
from sys import getprofile as _getprofile
from sys import gettrace as _gettrace

available = FFI is not None
if available:
    _ffi = FFI()
    _cast = _ffi.cast
    _memmove = _ffi.memmove
    _doubles = _ffi.typeof("double *")
    _words = _ffi.typeof("unsigned long long *")
    _chars = _ffi.typeof("char *")
else:
    _cast = _memmove = _doubles = _words = _chars = None

# The module's scratch area is an array of 64-bit words: a header, then the data. The
# module reads these three numbers at import and nothing else of the layout.
COUNT = 0  # header word: how many doubles, hits or bytes the data holds
TYPECODE = 1  # header word: an array's typecode, as ord() gives it
PAYLOAD = 2  # the data's first word


# Everything a function uses is bound as a default, so that it is a local: the JIT then
# needs no lookup of a global or a builtin inside the loops.
def steady(sequence, type=type, list=list, other_threads=_other_threads, gettrace=_gettrace,
           getprofile=_getprofile):
    """The sequence to read (rule 1): a tuple, or a list where nothing can change it
    meanwhile, as it is; else a copy of the list."""
    if type(sequence) is list and (other_threads() or gettrace() is not None or getprofile() is not None):
        return sequence[:]
    return sequence


def write_plain(items, address, count, len=len, type=type, float=float, int=int, range=range,
                cast=_cast, doubles=_doubles, bound=2 ** 53):
    """Writes the `count` items, exact floats or exact ints that a double holds exactly, as
    doubles at `address`; False (and nothing of any meaning written) at the first item of
    another kind, or when `items` is not `count` long."""
    out = cast(doubles, address)
    for i in range(count):
        if i >= len(items):  # rule 3, where items is not a copy
            return False
        item = items[i]
        kind = type(item)
        if kind is float:
            out[i] = item
        elif kind is int and -bound <= item <= bound:
            out[i] = float(item)
        else:
            return False
    return len(items) == count


def plain_floats(sequence, address, count, steady=steady, write_plain=write_plain):
    """write_plain for an exact list or tuple."""
    return write_plain(steady(sequence), address, count)


def plain_pairs(pairs, start, address, capacity, dimension, len=len, type=type, int=int,
                list=list, tuple=tuple, cast=_cast, words=_words, plain_floats=plain_floats,
                id_bound=2 ** 64):
    """Reads up to `capacity` plain pairs of the exact list `pairs` from index `start` on:
    exact 2-tuples of a list or tuple that plain_floats takes, of `dimension` items, and
    an exact int id below 2**64. Pair i's doubles go to `address` + 8 * i * dimension, the
    ids after all `capacity` vectors' room. Returns how many it read, stopping before the
    first pair that is not plain."""
    run = pairs[start:start + capacity]  # rule 1 (the copy is short); the vectors are steady
    ids = cast(words, address + 8 * capacity * dimension)
    count = 0
    for pair in run:
        if type(pair) is not tuple or len(pair) != 2:
            break
        vector, rid = pair
        kind = type(vector)
        if (kind is not list and kind is not tuple) or len(vector) != dimension:
            break
        if type(rid) is not int or not 0 <= rid < id_bound:
            break
        if not plain_floats(vector, address + 8 * count * dimension, dimension):
            break
        ids[count] = rid
        count += 1
    return count


def hits_list(address, count, cast=_cast, doubles=_doubles, words=_words, range=range):
    """The list of (score, id) tuples of `count` hits written at `address`: their scores
    widened to doubles, then their ids."""
    scores = cast(doubles, address)
    ids = cast(words, address + 8 * count)
    return [(scores[i], ids[i]) for i in range(count)]


def scratch_functions(address, words, len=len, ord=ord, cast=_cast,
                      memmove=_memmove, word_type=_words, char_type=_chars, steady=steady,
                      write_plain=write_plain, hits_list=hits_list):
    """The crossings that use the module's scratch area of `words` words at `address`,
    bound to it, so that a call hands over no address: an int made by C code costs more
    than the rest of a short call."""
    header = cast(word_type, address)
    payload = address + 8 * PAYLOAD
    payload_words = words - PAYLOAD
    payload_bytes = cast(char_type, payload)

    def floats_into_scratch(sequence):
        """plain_floats into the scratch's data, its count in the header."""
        items = steady(sequence)
        count = len(items)
        if count > payload_words or not write_plain(items, payload, count):
            return False
        header[COUNT] = count
        return True

    def hits_from_scratch(count):
        """hits_list of the hits written in the scratch's data."""
        return hits_list(payload, count)

    def array_into_scratch(array):
        """The elements of an exact array.array, copied in one step as they are at one
        instant (rule 1: another thread may resize the array, which frees its storage).
        They go to the scratch's data when they fit, their byte count and the typecode in
        the header, and None is returned; else the header has the typecode and the
        elements come back as bytes."""
        data = array.tobytes()
        header[TYPECODE] = ord(array.typecode)
        size = len(data)
        if size > 8 * payload_words:
            return data
        memmove(payload_bytes, data, size)
        header[COUNT] = size
        return None

    return floats_into_scratch, hits_from_scratch, array_into_scratch


def attribute_kind(cls, name):
    """Where a class along the type's method resolution order has the attribute `name`:
    0 nowhere, 1 as a plain attribute, 2 as a data descriptor. Asked here because PyPy
    crashes handing C code the descriptors of a class defined in C."""
    for base in cls.__mro__:
        if name in base.__dict__:
            return 2 if hasattr(type(base.__dict__[name]), "__set__") else 1
    return 0

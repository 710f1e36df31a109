// The interpreter-side crossings: their Python source, and the C half of each.
#include "python/interpreter_side.hpp"

#include <algorithm>  // std::max
#include <bit>
#include <cstdint>
#include <new>  // std::bad_alloc

#include "python/compat.hpp"
#include "base/panic.hpp"
#include "python/host_code.hpp"

namespace tarnix::py::interpreter_side {
namespace {

// Each function is handed addresses of native memory that the C half owns and keeps
// alive for the call, and the sizes it may touch. The items a function reads are only
// looked at by type and by value: nothing of the caller's runs. A sequence that another
// thread changes meanwhile is declined, not read past its end.
constexpr const char* kSource = R"(
try:
    from _cffi_backend import FFI
except ImportError:
    FFI = None
available = FFI is not None
if available:
    _ffi = FFI()
    _cast = _ffi.cast
    _doubles = _ffi.typeof("double *")
    _words = _ffi.typeof("unsigned long long *")
else:
    _cast = _doubles = _words = None

# Everything a function uses is bound as a default, so that it is a local: the JIT then
# needs no lookup of a global or a builtin inside the loops.
def plain_floats(sequence, address, count, len=len, type=type, float=float, int=int,
                 range=range, cast=_cast, doubles=_doubles, bound=2 ** 53):
    out = cast(doubles, address)
    for i in range(count):
        if i >= len(sequence):
            return False
        item = sequence[i]
        kind = type(item)
        if kind is float:
            out[i] = item
        elif kind is int and -bound <= item <= bound:
            out[i] = float(item)
        else:
            return False
    return len(sequence) == count

def plain_pairs(pairs, start, address, capacity, dimension, len=len, type=type, int=int,
                list=list, tuple=tuple, cast=_cast, words=_words, plain_floats=plain_floats,
                id_bound=2 ** 64):
    ids = cast(words, address + 8 * capacity * dimension)
    count = 0
    index = start
    while count < capacity and index < len(pairs):
        pair = pairs[index]
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
        index += 1
    return count

def hits_list(address, count, cast=_cast, doubles=_doubles, words=_words, range=range):
    scores = cast(doubles, address)
    ids = cast(words, address + 8 * count)
    return [(scores[i], ids[i]) for i in range(count)]

# The same, bound to the module's scratch memory (`capacity` words at `address`), so
# that a call hands over no address: an int made by C code costs more than the rest of
# a short call. The scratch's first word holds the count.
def scratch_functions(address, capacity, len=len, ord=ord, cast=_cast, words=_words,
                      plain_floats=plain_floats, hits_list=hits_list):
    header = cast(words, address)
    def floats_into_scratch(sequence):
        count = len(sequence)
        if count >= capacity or not plain_floats(sequence, address + 8, count):
            return False
        header[0] = count
        return True
    def hits_from_scratch(count):
        return hits_list(address + 8, count)
    def array_storage(array):
        data, length = array.buffer_info()
        header[0] = data
        header[1] = length
        header[2] = ord(array.typecode)
    return floats_into_scratch, hits_from_scratch, array_storage
)";

// Words of scratch memory: a count, then the doubles of a vector or the two words of
// each hit.
constexpr std::size_t kScratchWords = 2048;
constexpr std::size_t kScratchFloats = kScratchWords - 1;
constexpr std::size_t kScratchHits = (kScratchWords - 1) / 2;

struct Functions {
  PyObject* plain_floats;  // (sequence, address, count) -> bool
  PyObject* plain_pairs;   // (pairs, start, address, capacity, dimension) -> count
  PyObject* hits_list;     // (address, count) -> list
  PyObject* floats_into_scratch;  // (sequence) -> bool
  PyObject* hits_from_scratch;    // (count) -> list
  PyObject* array_storage;        // (array) -> None; data, length, typecode in the scratch
};

// Filled by prepare(), at import, under the interpreter lock; null members until then and
// wherever the crossings are not used.
Functions loaded{};
// The ints 0 to kScratchHits, made once, for the counts handed to hits_from_scratch.
PyObject* small_counts[kScratchHits + 1];

// The one scratch area. It is only touched by the thread that holds the interpreter
// lock, but the functions that fill it are Python code, during which another thread
// may take the lock: a call that finds the scratch in use brings memory of its own.
std::uint64_t scratch[kScratchWords];
bool scratch_in_use = false;

class ScratchUse {
 public:
  ScratchUse() : held_(!scratch_in_use) { scratch_in_use = true; }
  ~ScratchUse() {
    if (held_) scratch_in_use = false;
  }
  ScratchUse(const ScratchUse&) = delete;
  ScratchUse& operator=(const ScratchUse&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

Object address_object(const void* address) { return new_or_panic(PyLong_FromVoidPtr(const_cast<void*>(address))); }

Object size_object(std::size_t size) { return new_or_panic(PyLong_FromSize_t(size)); }

// Rounded as the general conversion rounds each element.
std::vector<float> rounded(const double* doubles, std::size_t count) {
  std::vector<float> floats(count);
  for (std::size_t i = 0; i < count; ++i) floats[i] = static_cast<float>(doubles[i]);
  return floats;
}

// The scores widened to doubles, then the ids: the layout hits_list reads.
void write_hits(std::span<const core::Hit> hits, std::uint64_t* words) {
  for (std::size_t i = 0; i < hits.size(); ++i) {
    words[i] = std::bit_cast<std::uint64_t>(static_cast<double>(hits[i].score));
    words[hits.size() + i] = hits[i].id;
  }
}

}  // namespace

Result<base::Done> prepare() {
  if constexpr (!compat::kObjectsCrossExpensively) return base::Done{};
  if (loaded.plain_floats) return base::Done{};
  auto defined = run_host_code(kSource);
  if (!defined) return fail(defined.take_error());
  const Borrowed names = defined.value().borrowed();
  if (PyDict_GetItemString(names.get(), "available") != Py_True) return base::Done{};
  const Object address = address_object(scratch);
  const Object capacity = size_object(kScratchWords);
  const Object bound = Object::steal(PyObject_CallFunctionObjArgs(host_function(names, "scratch_functions"),
                                                                  address.get(), capacity.get(), nullptr));
  if (!bound) return fail(PyErr::fetch());
  if (!PyTuple_Check(bound.get()) || PyTuple_GET_SIZE(bound.get()) != 3) base::panic("scratch_functions returned no triple");
  for (std::size_t i = 0; i <= kScratchHits; ++i) small_counts[i] = size_object(i).release();
  // The namespace and the functions are kept for good.
  loaded = Functions{
      .plain_floats = host_function(names, "plain_floats"),
      .plain_pairs = host_function(names, "plain_pairs"),
      .hits_list = host_function(names, "hits_list"),
      .floats_into_scratch = Object::borrow(PyTuple_GET_ITEM(bound.get(), 0)).release(),
      .hits_from_scratch = Object::borrow(PyTuple_GET_ITEM(bound.get(), 1)).release(),
      .array_storage = Object::borrow(PyTuple_GET_ITEM(bound.get(), 2)).release(),
  };
  defined.take_value().release();
  return base::Done{};
}

Result<std::optional<std::vector<float>>> plain_floats(Borrowed sequence) {
  if (!loaded.plain_floats) return {std::nullopt};
  const bool is_list = PyList_CheckExact(sequence.get());
  if (!is_list && !PyTuple_CheckExact(sequence.get())) return {std::nullopt};
  const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence.get()) : PyTuple_GET_SIZE(sequence.get());
  if (size <= 0) return {std::nullopt};  // empty, or a host call that failed: the general path says
  const auto count = static_cast<std::size_t>(size);
  if (ScratchUse use; use.held() && count <= kScratchFloats) {
    const Object answer = Object::steal(PyObject_CallOneArg(loaded.floats_into_scratch, sequence.get()));
    if (!answer) return fail(PyErr::fetch());
    if (answer.get() != Py_True) return {std::nullopt};
    // The count the function read, which another thread may have changed since.
    const std::size_t read = static_cast<std::size_t>(scratch[0]);
    base::check(read <= kScratchFloats, "scratch overfilled");
    return {rounded(reinterpret_cast<const double*>(scratch + 1), read)};
  }
  std::vector<double> doubles;
  try {
    doubles.resize(count);
  } catch (const std::bad_alloc&) {
    return {std::nullopt};  // the general path grows as it converts, and decides
  }
  const Object address = address_object(doubles.data());
  const Object length = size_object(count);
  const Object answer = Object::steal(
      PyObject_CallFunctionObjArgs(loaded.plain_floats, sequence.get(), address.get(), length.get(), nullptr));
  if (!answer) return fail(PyErr::fetch());
  if (answer.get() != Py_True) return {std::nullopt};
  return {rounded(doubles.data(), count)};
}

std::optional<PlainPairs> PlainPairs::make(std::size_t dimension) {
  if (!loaded.plain_pairs || dimension > kPlainPairFloats) return std::nullopt;
  PlainPairs chunk;
  chunk.dimension_ = dimension;
  chunk.capacity_ = std::max<std::size_t>(1, kPlainPairFloats / std::max<std::size_t>(dimension, 1));
  try {
    chunk.words_.resize(chunk.capacity_ * dimension + chunk.capacity_);
    chunk.values_.resize(chunk.capacity_ * dimension);
    chunk.ids_.resize(chunk.capacity_);
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // pair by pair, then
  }
  return chunk;
}

Result<std::size_t> PlainPairs::read(Borrowed pairs, std::size_t start) {
  const Object address = address_object(words_.data());
  const Object first = size_object(start);
  const Object capacity = size_object(capacity_);
  const Object dimension = size_object(dimension_);
  const Object count = Object::steal(PyObject_CallFunctionObjArgs(loaded.plain_pairs, pairs.get(), first.get(),
                                                                  address.get(), capacity.get(), dimension.get(),
                                                                  nullptr));
  if (!count) return fail(PyErr::fetch());
  const std::size_t read = PyLong_AsSize_t(count.get());
  base::check(read <= capacity_, "plain_pairs overfilled its chunk");
  const auto* doubles = reinterpret_cast<const double*>(words_.data());
  for (std::size_t i = 0; i < read * dimension_; ++i) values_[i] = static_cast<float>(doubles[i]);
  for (std::size_t i = 0; i < read; ++i) ids_[i] = words_[capacity_ * dimension_ + i];
  return read;
}

Result<std::optional<ArrayStorage>> array_storage(Borrowed array) {
  ScratchUse use;
  if (!loaded.array_storage || !use.held()) return {std::nullopt};
  const Object answer = Object::steal(PyObject_CallOneArg(loaded.array_storage, array.get()));
  if (!answer) return fail(PyErr::fetch());
  return {ArrayStorage{
      .data = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(scratch[0])),
      .length = static_cast<std::size_t>(scratch[1]),
      .typecode = static_cast<char>(scratch[2]),
  }};
}

Result<std::optional<Object>> hits_list(std::span<const core::Hit> hits) {
  if (!loaded.hits_list || hits.empty()) return {std::nullopt};
  Object list;
  if (ScratchUse use; use.held() && hits.size() <= kScratchHits) {
    write_hits(hits, scratch + 1);
    list = Object::steal(PyObject_CallOneArg(loaded.hits_from_scratch, small_counts[hits.size()]));
  } else {
    std::vector<std::uint64_t> words(2 * hits.size());
    write_hits(hits, words.data());
    const Object address = address_object(words.data());
    const Object count = size_object(hits.size());
    list = Object::steal(PyObject_CallFunctionObjArgs(loaded.hits_list, address.get(), count.get(), nullptr));
  }
  if (!list) return fail(PyErr::fetch());
  return {std::optional<Object>(std::move(list))};
}

}  // namespace tarnix::py::interpreter_side

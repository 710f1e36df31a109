// The C half of the module's code that runs inside the interpreter (its Python half is
// interpreter_side.py, embedded by the build).
//
// PyPy maps every object that C code touches into a C-level copy, which costs far more
// than the work it carries (a list element read from C costs what a thousand floats
// copied by JIT-compiled code cost). There, plain inputs and the result lists cross as
// raw memory instead: a function of interpreter_side.py reads or writes a native buffer
// through cffi's backend (built into PyPy), and C code hands it one address. Each
// function answers only for inputs whose conversion can run no Python code of the
// caller's, and reads what another thread could change in one step, so the general
// conversion gives the same floats, the same errors and the same side effects for
// everything; anything else it declines, and the caller takes the general path. On
// CPython, or where cffi's backend is missing, every function declines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/search.hpp"
#include "python/error.hpp"

namespace tarnix::py::interpreter_side {

// Runs interpreter_side.py, once, when the module is executed, where its functions are
// used (PyPy); on CPython, nothing.
Result<base::Done> prepare();

// The floats of an exact list or tuple whose items are all exact floats, or exact ints
// small enough to be floats exactly, each rounded to float as the general conversion
// rounds it; nothing when the sequence holds anything else.
Result<std::optional<std::vector<float>>> plain_floats(Borrowed sequence);

// A run of plain pairs of an exact list, read in one crossing: consecutive items that are
// exact 2-tuples of a plain vector (as plain_floats takes) of the store's dimension and an
// exact int id below 2**64, whose conversion can neither fail nor run Python code.
class PlainPairs {
 public:
  // Nothing where the crossings are not used, or for vectors too long to be worth it.
  static std::optional<PlainPairs> make(std::size_t dimension);
  // Reads up to capacity() pairs from pairs[start] on, stopping before the first that is
  // not plain; returns how many it read. Record i is then vector(i) and id(i).
  Result<std::size_t> read(Borrowed pairs, std::size_t start);
  std::size_t capacity() const { return capacity_; }
  std::span<const float> vector(std::size_t i) const { return {values_.data() + i * dimension_, dimension_}; }
  std::uint64_t id(std::size_t i) const { return ids_[i]; }

 private:
  PlainPairs() = default;
  std::size_t dimension_ = 0;
  std::size_t capacity_ = 0;
  std::vector<std::uint64_t> words_;  // what the interpreter side writes: doubles, then ids
  std::vector<float> values_;
  std::vector<std::uint64_t> ids_;
};
// About 64 KiB of doubles per run; vectors longer than that go pair by pair.
inline constexpr std::size_t kPlainPairFloats = 8192;

// The elements of an exact array.array, copied in one step as they were at one instant
// (another thread may resize the array meanwhile, which frees its storage).
struct ArrayElements {
  char typecode;
  std::vector<unsigned char> bytes;
};
// Nothing when arrays cannot be copied this way; the general path then reads the array.
Result<std::optional<ArrayElements>> array_elements(Borrowed array);

// The list of (score, id) tuples for the hits, as from_hits builds it.
Result<std::optional<Object>> hits_list(std::span<const core::Hit> hits);

// Where a class along the type's method resolution order has the attribute `name`:
// nowhere, as a plain attribute, or as a data descriptor. Asked inside the interpreter,
// because PyPy crashes handing C code the descriptors of a class defined in C; only
// where prepare() ran.
enum class AttributeKind { none, plain, data_descriptor };
Result<AttributeKind> attribute_kind(PyTypeObject* type, PyObject* name);

}  // namespace tarnix::py::interpreter_side

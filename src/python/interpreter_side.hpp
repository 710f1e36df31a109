// Crossings done by the interpreter's own code where its C API is the expensive part.
//
// PyPy maps every object that C code touches into a C-level copy, which costs far more
// than the work it carries (a list element read from C costs what a thousand floats
// copied by JIT-compiled code cost). There, plain inputs and the result lists cross as
// raw memory instead: a function defined inside the interpreter reads or writes a
// native buffer through cffi's backend (built into PyPy), and C code hands it one
// address. Each function answers only for inputs whose conversion can run no Python
// code of the caller's, so the general conversion gives the same floats, the same
// errors and the same side effects for everything; anything else it declines, and the
// caller takes the general path. On CPython, or where cffi's backend is missing, every
// function declines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/search.hpp"
#include "python/error.hpp"

namespace tarnix::py::interpreter_side {

// Defines the interpreter-side functions, once, when the module is executed; on CPython,
// or without cffi's backend, nothing.
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

// Where an exact array.array keeps its elements, as its buffer_info() tells.
struct ArrayStorage {
  const void* data;
  std::size_t length;
  char typecode;
};
// Nothing when arrays cannot be asked this way; the general path then reads the array.
Result<std::optional<ArrayStorage>> array_storage(Borrowed array);

// The list of (score, id) tuples for the hits, as from_hits builds it.
Result<std::optional<Object>> hits_list(std::span<const core::Hit> hits);

}  // namespace tarnix::py::interpreter_side

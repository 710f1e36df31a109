// Conversions between Python objects and the core's native values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/search.hpp"
#include "core/store.hpp"
#include "python/error.hpp"

namespace tarnix::py {

// Python to native: each takes a borrowed object and fails with an error value.
Result<float> to_f32(Borrowed object);
Result<std::vector<float>> to_float_vector(Borrowed object);
Result<std::uint64_t> to_u64(Borrowed object);
Result<core::Size> to_size(Borrowed object);
// A (vector, id) tuple, as the record it will become.
Result<core::StoredVector> to_pair(Borrowed object);

// What is left to report once every pair of a list has converted, in this order: the
// first pair whose vector had the wrong length, then running out of memory.
struct PairsPending {
  std::optional<core::DimensionError> wrong_length;
  bool out_of_memory = false;
};

// Converts a list of (vector, id) tuples, and adds each pair to the store as soon as it
// has converted, so that no converted vector outlives its own pair. The errors are those
// of converting the whole list before building a store of it: a conversion error ends
// it at once; anything else is only pending until every pair has converted.
Result<PairsPending> add_pairs(core::Vectorstore& store, Borrowed object);

// Native to Python: new references; a host that cannot create them is an internal fault.
Object from_f32(float value);
Object from_u64(std::uint64_t value);
Object from_size(core::Size value);
Object from_text(std::string_view text);
// A list of (score, id) tuples in the given order.
Object from_hits(const std::vector<core::Hit>& hits);

// The core's dimension failures are ValueErrors.
PyErr value_error(core::DimensionError error);

// collections.abc.Sequence, imported on first use and kept. Borrowed.
PyObject* sequence_type();

}  // namespace tarnix::py

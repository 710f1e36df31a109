// Conversions between Python objects and the core's native values (float vectors have
// their own file: float_vector.hpp).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/search.hpp"
#include "core/store.hpp"
#include "python/error.hpp"
#include "python/float_vector.hpp"

namespace tarnix::py {

// Python to native: each takes a borrowed object and fails with an error value.
Result<std::uint64_t> to_u64(Borrowed object);
Result<core::Size> to_size(Borrowed object);

// A (vector, id) tuple, converted. Its vector is left open when it is a float buffer and
// the id an exact int, whose conversion runs no Python code (see BufferUse).
struct PairArgument {
  FloatVector vector;
  std::uint64_t id;
};
Result<PairArgument> to_pair(Borrowed object);

// A batch of queries: a sequence of vectors, each converted as a vector argument is
// (to_float_vector). One vector, a float buffer or any item that is a number, is refused:
// a batch is a sequence of vectors.
Result<std::vector<std::vector<float>>> to_query_batch(Borrowed object);

// Native to Python: new references; a host that cannot create them is an internal fault.
Object from_f32(float value);
Object from_u64(std::uint64_t value);
Object from_size(core::Size value);
Object from_text(std::string_view text);
// A list of (score, id) tuples in the given order. It may be built by Python code of
// the module's own (see interpreter_side.hpp), which can fail as any Python code can.
Result<Object> from_hits(const std::vector<core::Hit>& hits);
// A list of such lists, one per query, in order.
Result<Object> from_hit_lists(const std::vector<std::vector<core::Hit>>& lists);

}  // namespace tarnix::py

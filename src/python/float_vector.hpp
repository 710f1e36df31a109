// The one conversion of a float vector argument, for every callable that takes one.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "python/error.hpp"
#include "python/float_buffer.hpp"

namespace tarnix::py {

// A float vector as its conversion found it: floats already converted, element by element
// as iteration yields them, or a float buffer still open (see FloatBuffer), whose floats
// are written out when the caller has room for them. Either way the same floats.
class FloatVector {
 public:
  explicit FloatVector(std::vector<float> floats) : floats_(std::move(floats)) {}
  explicit FloatVector(FloatBuffer buffer) : buffer_(std::move(buffer)) {}

  std::size_t size() const { return buffer_ ? buffer_->size() : floats_.size(); }
  // Writes the size() floats to `out`.
  void write_to(float* out) const;
  // The floats as a vector of their own: converted ones are handed over, a buffer's copied.
  std::vector<float> take_floats() &&;

 private:
  std::vector<float> floats_;
  std::optional<FloatBuffer> buffer_;
};

// How long a float buffer may stay open. Python code could resize what it exports, and on
// PyPy an array's storage is not even held, so a buffer stays open only for a caller that
// writes the floats out before any Python code can run.
enum class BufferUse { copy_at_once, write_before_python_runs };

// The float-vector conversion: a str is refused, anything else without the sequence
// protocol too; float buffers are read directly, every other sequence item by item.
Result<FloatVector> to_float_vector(Borrowed object, BufferUse use = BufferUse::copy_at_once);

// The float conversion of one element.
Result<float> to_f32(Borrowed object);

}  // namespace tarnix::py

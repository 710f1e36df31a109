// Converting float vectors: from buffers directly, plain lists and tuples in one crossing
// where that is cheaper, else through the sequence protocol.
#include "python/float_vector.hpp"

#include <algorithm>  // std::copy

#include "python/interpreter_side.hpp"
#include "python/sequence.hpp"

namespace tarnix::py {

void FloatVector::write_to(float* out) const {
  if (buffer_) {
    buffer_->copy_to(out);
  } else {
    std::copy(floats_.begin(), floats_.end(), out);
  }
}

std::vector<float> FloatVector::take_floats() && {
  if (!buffer_) return std::move(floats_);
  std::vector<float> floats(buffer_->size());
  buffer_->copy_to(floats.data());
  return floats;
}

Result<float> to_f32(Borrowed object) {
  double value;
  if (PyFloat_CheckExact(object.get())) {
    value = PyFloat_AS_DOUBLE(object.get());
  } else {
    value = PyFloat_AsDouble(object.get());
    if (value == -1.0) {
      if (auto failure = PyErr::take()) return fail(std::move(*failure));
    }
  }
  // Round to nearest even; beyond the float range that is an infinity, and NaN stays NaN.
  return static_cast<float>(value);
}

Result<FloatVector> to_float_vector(Borrowed object, BufferUse use) {
  if (FloatBuffer buffer(object); buffer.readable()) {
    FloatVector vector(std::move(buffer));
    if (use == BufferUse::copy_at_once) return FloatVector(std::move(vector).take_floats());
    return vector;
  }
  auto plain = interpreter_side::plain_floats(object);
  if (!plain) return fail(plain.take_error());
  if (plain.value()) return FloatVector(std::move(*plain.value()));
  std::vector<float> floats;
  const auto reserve = [&](std::size_t count) { floats.reserve(count); };
  const auto append = [&](Borrowed item) -> Result<base::Done> {
    Result<float> converted = to_f32(item);
    if (!converted) return fail(converted.take_error());
    floats.push_back(converted.value());
    return base::Done{};
  };
  if (auto read = read_sequence(object, sizeof(float), reserve, append); !read) return fail(read.take_error());
  return FloatVector(std::move(floats));
}

}  // namespace tarnix::py

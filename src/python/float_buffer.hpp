// Reading a vector straight out of a buffer of floats (numpy arrays, array.array,
// memoryview) instead of element by element through iteration.
#pragma once

#include <cstddef>
#include <vector>

#include "python/object.hpp"

namespace tarnix::py {

// The buffer of a one-dimensional, C-contiguous buffer of native float32 or float64,
// exported by an object whose iteration is known to yield exactly those values (an
// exact numpy.ndarray, array.array or memoryview), held for as long as this lives.
// For any other object it is not readable, and no error is pending: the caller then
// converts the object the general way, which gives the same floats. On PyPy an array's
// buffer is not exported (see compat::kArrayExportLeaks): its elements are copied at
// once instead, as they were at one instant.
class FloatBuffer {
 public:
  explicit FloatBuffer(Borrowed object);
  ~FloatBuffer();
  // Once made, only the data, its length and its kind are read, and the view is
  // released: moving hands those over (the view's shape may point into the view itself,
  // so it is not kept).
  FloatBuffer(FloatBuffer&& other) noexcept;
  FloatBuffer& operator=(FloatBuffer&&) = delete;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  bool readable() const { return element_ != Element::none; }
  std::size_t size() const { return size_; }
  // Writes the size() floats that iteration would give.
  void copy_to(float* out) const;

 private:
  enum class Element { none, f32, f64 };

  // Where the buffer protocol would leak: a copy of the array's elements.
  void copy_array_elements(Borrowed array);

  Py_buffer view_{};
  bool held_ = false;
  Element element_ = Element::none;
  std::size_t size_ = 0;
  std::vector<unsigned char> copied_;  // what data_ points into, where it is a copy
  const void* data_ = nullptr;
};

}  // namespace tarnix::py

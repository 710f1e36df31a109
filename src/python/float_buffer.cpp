// The buffer fast path of the float-vector conversion.
#include "python/float_buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>  // std::strcmp, std::memcpy
#include <string_view>

#include "python/error.hpp"

namespace tarnix::py {
namespace {

// Types whose iteration yields, for each element of a float buffer, a float (or a numpy
// scalar) of that element's value, and which Python code cannot subclass into something
// else: a subclass has its own type name and takes the general way.
bool exports_plain_floats(PyTypeObject* type) {
  if (type == &PyMemoryView_Type) return true;
  if (!type->tp_as_buffer) return false;  // lists and tuples, every time: no name to compare
  const char* name = type->tp_name;
  return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

enum class Element { none, f32, f64 };

// The struct-module format of a native float or double; '<' is native on every x86.
Element element_of(const char* format) {
  std::string_view f = format ? format : "B";
  if (!f.empty() && (f.front() == '@' || f.front() == '=' || f.front() == '<')) f.remove_prefix(1);
  if (f == "f") return Element::f32;
  if (f == "d") return Element::f64;
  return Element::none;
}

// Releases the view however the read ends.
class BufferView {
 public:
  explicit BufferView(Borrowed object) { ok_ = PyObject_GetBuffer(object.get(), &view_, PyBUF_RECORDS_RO) == 0; }
  ~BufferView() {
    if (ok_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  bool ok() const { return ok_; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool ok_;
};

// What iteration would give: the element widened to a double (which quiets a
// signalling NaN, keeping its payload), then rounded to float.
float widened_and_rounded(float x) {
  if (x != x) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x00400000u);
  return x;
}

}  // namespace

std::optional<std::vector<float>> read_float_buffer(Borrowed object) {
  if (!exports_plain_floats(object.type())) return std::nullopt;
  const BufferView buffer(object);
  if (!buffer.ok()) {
    // A released memoryview, a dtype without a buffer: the general way reports it.
    PyErr::take();
    return std::nullopt;
  }
  const Py_buffer& view = buffer.get();
  const Element element = element_of(view.format);
  if (element == Element::none || view.ndim != 1 || view.itemsize != (element == Element::f32 ? 4 : 8) ||
      (view.strides && view.strides[0] != view.itemsize) || view.suboffsets)
    return std::nullopt;

  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  std::vector<float> vector(count);
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  if (element == Element::f32) {
    std::memcpy(vector.data(), bytes, count * sizeof(float));
    for (float& x : vector) x = widened_and_rounded(x);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      double x;
      std::memcpy(&x, bytes + i * sizeof(double), sizeof(double));
      vector[i] = static_cast<float>(x);
    }
  }
  return vector;
}

}  // namespace tarnix::py

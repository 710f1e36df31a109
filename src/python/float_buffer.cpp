// The buffer fast path of the float-vector conversion.
#include "python/float_buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>  // std::strcmp, std::memcpy
#include <string_view>
#include <utility>  // std::exchange

#include "python/compat.hpp"
#include "python/error.hpp"
#include "python/interpreter_side.hpp"

namespace tarnix::py {
namespace {

// array.array, imported on first use and kept for good, so that no other type can come
// to live at its address; null where it cannot be imported. It is recognised by identity:
// PyPy names it only "array", a name any Python class may take.
PyTypeObject* array_type() {
  static PyObject* cached = nullptr;
  static bool imported = false;
  if (imported) return reinterpret_cast<PyTypeObject*>(cached);
  imported = true;  // before importing, which may let another thread in
  const Object module = Object::steal(PyImport_ImportModule("array"));
  Object type = module ? Object::steal(PyObject_GetAttrString(module.get(), "array")) : Object();
  if (type && PyType_Check(type.get())) cached = type.release();
  PyErr::take();  // without it, buffers of arrays are only read the general way
  return reinterpret_cast<PyTypeObject*>(cached);
}

// numpy.ndarray, without importing numpy: there are no arrays before numpy is imported,
// so the class is looked up among the modules already loaded, once a type of that name
// turns up, and then kept for good. Any Python class may take its name, but not its
// identity, and never the place of a static type.
bool is_numpy_array_type(PyTypeObject* type) {
  static PyObject* cached = nullptr;
  if (cached) return type == reinterpret_cast<PyTypeObject*>(cached);
  if (std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
  const Object name = Object::steal(PyUnicode_FromString("numpy"));
  const Object module = name ? Object::steal(PyImport_GetModule(name.get())) : Object();
  Object ndarray = module ? Object::steal(PyObject_GetAttrString(module.get(), "ndarray")) : Object();
  PyErr::take();  // numpy not loaded, or not as expected: its arrays go the general way
  if (!ndarray || !PyType_Check(ndarray.get()) ||
      (reinterpret_cast<PyTypeObject*>(ndarray.get())->tp_flags & Py_TPFLAGS_HEAPTYPE))
    return false;
  cached = ndarray.release();
  return type == reinterpret_cast<PyTypeObject*>(cached);
}

// Types whose iteration yields, for each element of a float buffer, a float (or a numpy
// scalar) of that element's value, and which Python code cannot subclass into something
// else: a subclass is another type and takes the general way.
bool exports_plain_floats(PyTypeObject* type) {
  if (type == &PyMemoryView_Type) return true;
  if (!type->tp_as_buffer) return false;  // lists and tuples, every time: nothing to look up
  return type == array_type() || is_numpy_array_type(type);
}

// The struct-module format of a native float or double. '@' is the native prefix; '<'
// and '=' give the same layout on every x86, where `standard_prefixes` allows them.
char element_code(const char* format, bool standard_prefixes) {
  std::string_view f = format ? format : "B";
  if (!f.empty() && (f.front() == '@' || (standard_prefixes && (f.front() == '=' || f.front() == '<'))))
    f.remove_prefix(1);
  return f.size() == 1 ? f.front() : '\0';
}

// What iteration would give: the element widened to a double (which quiets a
// signalling NaN, keeping its payload), then rounded to float.
// Written on the bits, without a branch, so that the copy runs several elements at a time.
float widened_and_rounded(float x) {
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const bool nan = (bits & 0x7fffffffu) > 0x7f800000u;
  return std::bit_cast<float>(bits | (nan ? 0x00400000u : 0u));
}

}  // namespace

FloatBuffer::FloatBuffer(Borrowed object) {
  if (compat::kArrayExportLeaks && object.type() == array_type()) {
    copy_array_elements(object);
    return;
  }
  if (!exports_plain_floats(object.type())) return;
  if (PyObject_GetBuffer(object.get(), &view_, PyBUF_RECORDS_RO) != 0) {
    // A released memoryview, a dtype without a buffer: the general way reports it.
    PyErr::take();
    return;
  }
  held_ = true;
  // A memoryview's iteration reads the format string itself, and refuses some layouts
  // that other exporters' iteration never looks at.
  const bool standard_prefixes = object.type() != &PyMemoryView_Type || compat::kMemoryviewIteratesStandardFormats;
  const char code = element_code(view_.format, standard_prefixes);
  const Element element = code == 'f' ? Element::f32 : code == 'd' ? Element::f64 : Element::none;
  const Py_ssize_t item = element == Element::f32 ? 4 : 8;
  if (element == Element::none || view_.ndim != 1 || view_.itemsize != item ||
      (view_.strides && view_.strides[0] != item) || view_.suboffsets)
    return;
  element_ = element;
  size_ = static_cast<std::size_t>(view_.len / item);
  data_ = view_.buf;
}

void FloatBuffer::copy_array_elements(Borrowed array) {
  // The type is exactly array.array, so what it tells is its own, and no Python code of
  // the caller's runs. Where it cannot be asked, or the asking fails, the array is
  // iterated instead.
  auto copied = interpreter_side::array_elements(array);
  if (!copied || !copied.value()) return;
  interpreter_side::ArrayElements& found = *copied.value();
  const Element element = found.typecode == 'f' ? Element::f32 : found.typecode == 'd' ? Element::f64 : Element::none;
  const std::size_t item = element == Element::f32 ? sizeof(float) : sizeof(double);
  if (element == Element::none || found.bytes.size() % item != 0) return;
  element_ = element;
  size_ = found.bytes.size() / item;
  copied_ = std::move(found.bytes);
  data_ = copied_.data();
}

FloatBuffer::FloatBuffer(FloatBuffer&& other) noexcept
    : view_(other.view_),
      held_(std::exchange(other.held_, false)),
      element_(std::exchange(other.element_, Element::none)),
      size_(other.size_),
      copied_(std::move(other.copied_)),  // moving a vector keeps its elements where they are
      data_(other.data_) {
  view_.shape = nullptr;
  view_.strides = nullptr;
  view_.suboffsets = nullptr;
}

FloatBuffer::~FloatBuffer() {
  if (held_) PyBuffer_Release(&view_);
}

void FloatBuffer::copy_to(float* out) const {
  const auto* bytes = static_cast<const unsigned char*>(data_);
  if (element_ == Element::f32) {
    for (std::size_t i = 0; i < size_; ++i) {
      float x;
      std::memcpy(&x, bytes + i * sizeof(float), sizeof(float));
      out[i] = widened_and_rounded(x);
    }
  } else {
    for (std::size_t i = 0; i < size_; ++i) {
      double x;
      std::memcpy(&x, bytes + i * sizeof(double), sizeof(double));
      out[i] = static_cast<float>(x);
    }
  }
}

}  // namespace tarnix::py

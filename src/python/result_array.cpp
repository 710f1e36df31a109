// The buffer type behind ResultArray: an object owning its elements, exporting them with
// their shape and format. The elements are a copy that nothing else reads, so writable.
#include "python/result_array.hpp"

#include <algorithm>  // std::max
#include <limits>
#include <new>

namespace tarnix::py {
namespace {

struct PyResultArray {
  PyObject_HEAD
  void* data;  // owned; freed with the object
  int ndim;    // 0 only for an object not made here, which exports nothing
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  Py_ssize_t itemsize;
  const char* format;  // static
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* array = reinterpret_cast<PyResultArray*>(self);
  if (array->ndim == 0) {
    PyErr_SetString(PyExc_BufferError, "this array holds no elements");
    view->obj = nullptr;
    return -1;
  }
  Py_ssize_t length = array->itemsize;
  for (int d = 0; d < array->ndim; ++d) length *= array->shape[d];
  // Every request is answered with the full description: a C-contiguous array is every
  // layout a consumer may ask for.
  view->buf = array->data;
  view->obj = Object::borrow(self).release();
  view->len = length;
  view->readonly = 0;  // a copy of its own: the caller may change it
  view->itemsize = array->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(array->format) : nullptr;
  view->ndim = array->ndim;
  view->shape = (flags & PyBUF_ND) ? array->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void dealloc(PyObject* self) noexcept {
  auto* array = reinterpret_cast<PyResultArray*>(self);
  ::operator delete(array->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot kSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "tarnix.ResultArray",
    .basicsize = static_cast<int>(sizeof(PyResultArray)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

Result<PyTypeObject*> result_array_type() {
  // Created under the interpreter lock, once.
  static PyObject* cached = nullptr;
  if (cached) return reinterpret_cast<PyTypeObject*>(cached);
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return fail(PyErr::fetch());
  cached = created;
  return reinterpret_cast<PyTypeObject*>(cached);
}

template <class Element>
constexpr const char* kFormat = std::is_same_v<Element, float> ? "f" : "Q";

// An array object of this shape, its elements allocated and not yet written.
template <class Element>
Result<Object> make_array(int ndim, std::size_t rows, std::size_t columns) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());
  if (rows > kMax || columns > kMax || (columns != 0 && rows > kMax / sizeof(Element) / columns))
    return fail(memory_error());
  auto type = result_array_type();
  if (!type) return fail(type.take_error());
  Object owner = Object::steal(type.value()->tp_alloc(type.value(), 0));
  if (!owner) return fail(PyErr::fetch());
  auto* array = reinterpret_cast<PyResultArray*>(owner.get());
  // At least one byte, so that even an empty array has an address of its own.
  const std::size_t elements = rows * (ndim == 2 ? columns : 1);
  void* data = ::operator new(std::max<std::size_t>(1, elements * sizeof(Element)), std::nothrow);
  if (!data) return fail(memory_error());
  array->data = data;
  array->ndim = ndim;
  array->itemsize = sizeof(Element);
  array->format = kFormat<Element>;
  array->shape[0] = static_cast<Py_ssize_t>(rows);
  array->shape[1] = static_cast<Py_ssize_t>(columns);
  array->strides[0] = static_cast<Py_ssize_t>((ndim == 2 ? columns : 1) * sizeof(Element));
  array->strides[1] = sizeof(Element);
  return owner;
}

}  // namespace

template <class Element>
Result<ResultArray<Element>> ResultArray<Element>::make_matrix(std::size_t rows, std::size_t columns) {
  auto owner = make_array<Element>(2, rows, columns);
  if (!owner) return fail(owner.take_error());
  auto* data = static_cast<Element*>(reinterpret_cast<PyResultArray*>(owner.value().get())->data);
  return ResultArray(owner.take_value(), data);
}

template <class Element>
Result<ResultArray<Element>> ResultArray<Element>::make_vector(std::size_t length) {
  auto owner = make_array<Element>(1, length, 1);
  if (!owner) return fail(owner.take_error());
  auto* data = static_cast<Element*>(reinterpret_cast<PyResultArray*>(owner.value().get())->data);
  return ResultArray(owner.take_value(), data);
}

template <class Element>
Result<Object> ResultArray<Element>::into_memoryview() && {
  Object view = Object::steal(PyMemoryView_FromObject(owner_.get()));
  if (!view) return fail(PyErr::fetch());
  return view;
}

template class ResultArray<float>;
template class ResultArray<std::uint64_t>;

}  // namespace tarnix::py

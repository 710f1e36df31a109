// What differs between the interpreters, done the way each of them needs.
#include "python/compat.hpp"

#include <cstring>  // std::strrchr

#include "python/object.hpp"

namespace tarnix::py::compat {
namespace {

#if defined(PYPY_VERSION)

// An attribute of a built-in type, looked up once and kept for the life of the process.
// Borrowed; null with an exception pending. Filled under the interpreter lock.
PyObject* builtin_attribute(PyTypeObject* type, const char* name, PyObject*& cache) {
  if (!cache) cache = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name);
  return cache;
}

// type.__dict__[name].__get__(type): what the type itself holds. PyPy fills the heap
// type fields that CPython reads by looking the attribute up, which a metaclass answers.
PyObject* read_type_field(PyTypeObject* type, const char* name, PyObject*& cache) {
  if (!cache) {
    const Object dict = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    if (!dict) return nullptr;
    cache = PyMapping_GetItemString(dict.get(), name);
    if (!cache) return nullptr;
  }
  return PyObject_CallMethod(cache, "__get__", "O", type);
}

#elif PY_VERSION_HEX < 0x030B0000

// CPython before 3.11 has no calls for them: read the fields as its own type object does.
PyObject* static_type_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return PyUnicode_FromString(dot ? dot + 1 : type->tp_name);
}

PyObject* heap_type_field(PyTypeObject* type, PyObject* PyHeapTypeObject::*field) {
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return static_type_name(type);
  return Object::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->*field).release();
}

#endif

}  // namespace

PyObject* type_qualname(PyTypeObject* type) {
#if defined(PYPY_VERSION)
  static PyObject* descriptor = nullptr;
  return read_type_field(type, "__qualname__", descriptor);
#elif PY_VERSION_HEX < 0x030B0000
  return heap_type_field(type, &PyHeapTypeObject::ht_qualname);
#else
  return PyType_GetQualName(type);
#endif
}

PyObject* type_name(PyTypeObject* type) {
#if defined(PYPY_VERSION)
  static PyObject* descriptor = nullptr;
  return read_type_field(type, "__name__", descriptor);
#elif PY_VERSION_HEX < 0x030B0000
  return heap_type_field(type, &PyHeapTypeObject::ht_name);
#else
  return PyType_GetName(type);
#endif
}

PyObject* type_printed_name(PyTypeObject* type) {
  // A class statement's tp_name is its __name__; PyPy's may have come from a metaclass.
  if (kIsPyPy && (type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return type_name(type);
  return PyUnicode_FromString(type->tp_name);
}

Py_ssize_t tuple_size(PyObject* tuple) {
#if defined(PYPY_VERSION)
  if (!PyTuple_CheckExact(tuple)) {
    static PyObject* length = nullptr;
    if (!builtin_attribute(&PyTuple_Type, "__len__", length)) return -1;
    const Object size = Object::steal(PyObject_CallFunctionObjArgs(length, tuple, nullptr));
    return size ? PyLong_AsSsize_t(size.get()) : -1;
  }
#endif
  return PyTuple_GET_SIZE(tuple);
}

PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) {
#if defined(PYPY_VERSION)
  if (!PyTuple_CheckExact(tuple)) {
    static PyObject* get_item = nullptr;
    if (!builtin_attribute(&PyTuple_Type, "__getitem__", get_item)) return nullptr;
    const Object position = Object::steal(PyLong_FromSsize_t(index));
    if (!position) return nullptr;
    return PyObject_CallFunctionObjArgs(get_item, tuple, position.get(), nullptr);
  }
#endif
  return Object::borrow(PyTuple_GET_ITEM(tuple, index)).release();
}

}  // namespace tarnix::py::compat

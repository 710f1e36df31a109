// The one place that smooths over differences between the interpreters we build for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnix::py::compat {

// The calls below exist in CPython 3.11 but not in PyPy 3.9; the attribute
// lookups give the same values there. Each returns a new reference or null
// with an exception pending.

inline PyObject* type_qualname(PyTypeObject* type) {
#if defined(PYPY_VERSION) || PY_VERSION_HEX < 0x030B0000
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#else
  return PyType_GetQualName(type);
#endif
}

inline PyObject* type_name(PyTypeObject* type) {
#if defined(PYPY_VERSION) || PY_VERSION_HEX < 0x030B0000
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
#else
  return PyType_GetName(type);
#endif
}

inline PyObject* module_name_object(PyObject* module) {
#if defined(PYPY_VERSION)
  return PyObject_GetAttrString(module, "__name__");
#else
  return PyModule_GetNameObject(module);
#endif
}

// PyPy's buffer export of an array.array leaks a few bytes each time, even when the
// buffer is released at once (seen with PyPy 3.9 on 32-bit x86, in a module that only
// exports and releases); there an array's storage is found through buffer_info() instead.
#if defined(PYPY_VERSION)
inline constexpr bool kArrayExportLeaks = true;
#else
inline constexpr bool kArrayExportLeaks = false;
#endif

}  // namespace tarnix::py::compat

// The one place that smooths over differences between the interpreters we build for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnix::py::compat {

#if defined(PYPY_VERSION)
inline constexpr bool kIsPyPy = true;
#else
inline constexpr bool kIsPyPy = false;
#endif

// A type's qualified name and its name, read from the type itself (never through
// attribute lookup, which a metaclass can answer). New references, or null with an
// exception pending.
PyObject* type_qualname(PyTypeObject* type);
PyObject* type_name(PyTypeObject* type);

// The name CPython prints for a type in its own messages (its tp_name). A new
// reference, or null with an exception pending.
PyObject* type_printed_name(PyTypeObject* type);

inline PyObject* module_name_object(PyObject* module) {
#if defined(PYPY_VERSION)
  return PyObject_GetAttrString(module, "__name__");
#else
  return PyModule_GetNameObject(module);
#endif
}

// The length and the items that a tuple, or an instance of a tuple subclass, holds.
// PyPy shows C code a copy of a tuple subclass made by iterating it, so one whose
// __iter__ yields something else shows other items, and null past their end; there the
// tuple's own methods are asked. -1 or null with an exception pending on failure; the
// item is a new reference.
Py_ssize_t tuple_size(PyObject* tuple);
PyObject* tuple_item(PyObject* tuple, Py_ssize_t index);

// PyPy maps every object that C code is handed or reads into a C-level copy, which costs
// far more than copying floats in its own JIT-compiled code; there plain inputs and the
// result lists cross as raw memory instead (see interpreter_side.hpp).
inline constexpr bool kObjectsCrossExpensively = kIsPyPy;

// PyPy's buffer export of an array.array leaks a few bytes each time, even when the
// buffer is released at once (seen with PyPy 3.9 on 32-bit x86, in a module that only
// exports and releases); there an array's storage is found through buffer_info() instead.
inline constexpr bool kArrayExportLeaks = kIsPyPy;

// Which float formats a memoryview iterates: CPython only the native single-character
// ones ("f", "@f"; "<f" raises NotImplementedError), PyPy the standard-size ones too.
inline constexpr bool kMemoryviewIteratesStandardFormats = kIsPyPy;

// PyPy creates subclasses of a type without Py_TPFLAGS_BASETYPE, and gives instances of
// a type without a dictionary offset an attribute dictionary all the same; where the
// host does not refuse them, the class refuses them itself.
inline constexpr bool kHostEnforcesClassFlags = !kIsPyPy;

// CPython 3.12 and later load a module into every subinterpreter that imports it unless
// the module declares otherwise; this one keeps its class, its exception type and its
// caches for the whole process, so it declares that it runs in one interpreter only.
// Interpreters that do not know the slot load a module once per process anyway. The
// entry goes last in the slot table: where the slot is unknown it is the table's end.
#if defined(Py_mod_multiple_interpreters)
inline constexpr PyModuleDef_Slot kOneInterpreterOnlySlot = {Py_mod_multiple_interpreters,
                                                             Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
inline constexpr PyModuleDef_Slot kOneInterpreterOnlySlot = {0, nullptr};
#endif

}  // namespace tarnix::py::compat

// What CPython's type flags give the class and PyPy ignores: no subclasses and no
// attributes of an instance's own. Where the host does not refuse them (see
// compat::kHostEnforcesClassFlags), the class carries these entries and refuses them itself.
#pragma once

#include "python/compat.hpp"

namespace tarnix::py {

// The class's __init_subclass__: refuses every subclass, whether made by a class
// statement, by type() or by types.new_class.
PyObject* refuse_subclass_trampoline(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;

// The class's tp_setattro: only the class's own data descriptors can be set (and they
// answer for themselves); any other name fails as on an object without a dictionary.
int set_attribute_trampoline(PyObject* self, PyObject* name, PyObject* value) noexcept;

// The getter of a __dict__ that instances do not have.
PyObject* no_attribute_dict_trampoline(PyObject* self, void* closure) noexcept;

}  // namespace tarnix::py

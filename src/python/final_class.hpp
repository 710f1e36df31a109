// What CPython's type flags give the class and PyPy ignores: no subclasses and no
// attributes of an instance's own. Where the host does not refuse them (see
// compat::kHostEnforcesClassFlags), the class carries these entries and refuses them itself.
#pragma once

#include "python/error.hpp"

namespace tarnix::py {

// The class's __init_subclass__: refuses every subclass, whether made by a class
// statement, by type() or by types.new_class.
Result<Object> refuse_subclass_wrapper(Borrowed cls, PyObject* args, PyObject* kwargs);

// The class's tp_setattro: only the class's data descriptors can be set (and they
// answer for themselves); any other name fails as on an object without a dictionary.
Result<int> set_attribute_wrapper(Borrowed self, PyObject* name, PyObject* value);

// The setter of the read-only vector_size: PyPy's own refusal names no class ("can't
// delete ?.vector_size"); this one says what CPython says.
Result<int> read_only_vector_size_wrapper(Borrowed self, PyObject* value);

// The getter of a __dict__ that instances do not have.
Result<Object> no_attribute_dict_wrapper(Borrowed self);

}  // namespace tarnix::py

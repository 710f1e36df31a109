// Python functions of the module's own, defined from source inside the interpreter: for
// work that PyPy does cheaply in its own code and expensively through its C API.
#pragma once

#include "python/error.hpp"

namespace tarnix::py {

// Runs `source` in a namespace of its own (with the builtins) and returns that namespace.
// A new reference; an exception raised by the source is the failure.
Result<Object> run_host_code(const char* source);

// The callable `name` in a namespace made by run_host_code. Borrowed from the namespace;
// a name the source did not define is an internal fault.
PyObject* host_function(Borrowed namespace_dict, const char* name);

}  // namespace tarnix::py

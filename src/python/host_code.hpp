// Running the module's embedded Python source inside the interpreter: for work that PyPy
// does cheaply in its own code and expensively through its C API.
#pragma once

#include "python/error.hpp"

namespace tarnix::py {

// Runs `source` as the body of a new module called `name`, with the builtins, and
// returns the module's namespace. Tracebacks show the code's file as "<name>", as
// CPython shows its frozen modules. A new reference; an exception raised by the source
// is the failure. The module is not put in sys.modules.
Result<Object> run_embedded_module(const char* source, const char* name);

// The object `name` in a namespace made by run_embedded_module. Borrowed from the
// namespace; a name the source did not define is an internal fault.
PyObject* host_function(Borrowed namespace_dict, const char* name);

}  // namespace tarnix::py

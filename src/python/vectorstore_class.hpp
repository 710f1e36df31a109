// The Python class Vectorstore: its type object, created once per process.
#pragma once

#include "python/error.hpp"

namespace tarnix::py {

// The class's full name, as CPython prints it in its own messages about the class.
inline constexpr const char* kClassName = "builtins.Vectorstore";

// The class's type object (borrowed), created from its type specification on first use.
Result<PyObject*> vectorstore_type();

}  // namespace tarnix::py

// PanicException: how a panic of the native code reaches Python, and how it comes back.
#pragma once

#include <string>

#include "python/error.hpp"

namespace tarnix::py {

// The class "tarnix_runtime.PanicException", created on first use and kept for the
// life of the process. Borrowed.
PyObject* panic_exception_type();
// The class if it has been created, else null (and nothing is created). Borrowed.
PyObject* panic_exception_type_if_created();

// A lazy PanicException carrying `message` as its single argument.
PyErr panic_exception(std::string message);

// The text of a caught panic payload of an unknown kind.
inline constexpr const char* kUnknownPanicMessage = "a panic with a payload that is not text came from tarnix's native code";

// A PanicException came back out of Python code that we called: report it on
// standard error with its Python traceback, and carry on with the same panic.
[[noreturn]] void resume_panic_from_python(Object type, Object value, Object traceback);

}  // namespace tarnix::py

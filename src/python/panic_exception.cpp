// PanicException: its class, building one from a panic, and resuming a panic that
// travelled through Python code.
#include "python/panic_exception.hpp"

#include <cstdio>  // std::fprintf

#include "base/panic.hpp"
#include "python/text.hpp"

namespace tarnix::py {
namespace {

constexpr const char* kDoc =
    "\n"
    "The exception raised when tarnix's native code, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* create_class() {
  PyObject* created = PyErr_NewExceptionWithDoc("tarnix_runtime.PanicException", kDoc,
                                                PyExc_BaseException, nullptr);
  if (created) return created;
  base::panic("Failed to initialize new exception type.: " + PyErr::fetch().describe());
}

// Filled under the interpreter lock; creating the class runs no Python code
// that could let another thread in halfway.
PyObject* cached_class = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (!cached_class) cached_class = create_class();
  return cached_class;
}

PyObject* panic_exception_type_if_created() { return cached_class; }

PyErr panic_exception(std::string message) {
  return PyErr::new_lazy_in_tuple(panic_exception_type, std::move(message));
}

// Resuming, in these steps:
// 1. the message is str() of the exception, or a fixed text when that fails;
// 2. two lines on standard error say what is happening;
// 3. the exception is raised again and printed with its Python traceback;
// 4. the panic carries on with the message, its report not printed again.
void resume_panic_from_python(Object type, Object value, Object traceback) {
  // 1. Not through PyErr::take, which would look at a failure of str() as a panic too.
  std::string message = "Unwrapped panic from Python code";
  if (const Object text = Object::steal(PyObject_Str(value.get()))) {
    message = to_string_lossy(text.borrowed());
  } else {
    PyErr_Clear();
  }
  // 2.
  std::fprintf(stderr,
               "--- tarnix is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n");
  std::fflush(stderr);
  // 3.
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  // 4.
  base::resume_panic(std::move(message));
}

}  // namespace tarnix::py

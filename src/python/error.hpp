// PyErr: a Python exception held as a value, raised into the interpreter only at the
// boundary, and the constructors of every error the module makes.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "base/expected.hpp"
#include "python/object.hpp"

namespace tarnix::py {

// Gives the exception class of a lazy error; the class lives as long as the process.
using ExceptionTypeGetter = PyObject* (*)();

class PyErr {
 public:
  // Lazy errors create no Python object until they are raised or inspected. With a
  // message the exception's args are (message,); without one they are empty.
  static PyErr new_lazy(ExceptionTypeGetter type, std::optional<std::string> message);
  // The argument is a 1-tuple holding the message; args and str() come out the same.
  static PyErr new_lazy_in_tuple(ExceptionTypeGetter type, std::string message);
  // TypeError "'T' object is not an instance of 'E'" for an object of the wrong kind.
  static PyErr cast_failure(Borrowed object, PyObject* expected_type);

  // The interpreter's pending exception, if any, taken over. It stays in the
  // interpreter's error indicator until it is first inspected: on PyPy, fetching an
  // exception near the stack limit (a RecursionError on its way out) ends the process,
  // while raising it on untouched costs nothing. Dropping a taken error clears it.
  // A PanicException coming back out of Python resumes the panic instead.
  static std::optional<PyErr> take();
  // take(), or SystemError when a failing host call left nothing pending.
  static PyErr fetch();

  PyErr(PyErr&& other) noexcept;
  PyErr& operator=(PyErr&& other) noexcept;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  ~PyErr();

  // Makes this the interpreter's pending exception.
  void restore() &&;
  // Raises, then reports through the unraisable hook with `context` (may be null).
  void write_unraisable(PyObject* context) &&;

  // The normalized view; the first call on a lazy error creates the exception.
  PyObject* type();
  PyObject* value();
  // Whether the exception's type is exactly `type`; an error still in the indicator is
  // fetched only when its type could turn out to be `type`.
  bool is_exactly(PyObject* type);

  // The exception instance, with its traceback attached.
  Object into_value() &&;
  std::optional<PyErr> cause();
  void set_cause(std::optional<PyErr> cause);

  // "PyErr { type: ..., value: ..., traceback: ... }", for panic messages.
  std::string describe();

 private:
  struct Text {
    std::optional<std::string> message;
    bool in_tuple;
  };
  struct CastFailure {
    Object object_type;  // null when the object was None
    PyObject* expected_type;
  };
  struct Lazy {
    ExceptionTypeGetter type;
    std::variant<Text, CastFailure> argument;
  };
  struct Normalized {
    Object type;
    Object value;
    Object traceback;
  };
  // Still the interpreter's pending exception, owned by this value.
  struct Pending {};
  // Invalid only while a lazy error is being normalized, and once moved from.
  struct Invalid {};
  using State = std::variant<Invalid, Lazy, Normalized, Pending>;

  template <class Kind>
  explicit PyErr(Kind kind) : state_(std::in_place_type<Kind>, std::move(kind)) {}
  static Normalized fetch_pending();
  static Normalized normalize(Lazy lazy);
  Normalized& normalized();

  State state_;
  bool normalizing_ = false;
};

template <class T>
using Result = base::Expected<T, PyErr>;
using base::fail;

// The errors the module makes itself, each of the exception class its name says.
PyErr type_error(std::string message);
PyErr value_error(std::string message);
PyErr overflow_error(std::string message);
PyErr runtime_error(std::string message);
PyErr attribute_error(std::string message);
PyErr system_error(std::string message);
PyErr memory_error();  // MemoryError(), as the interpreter raises it
// The OSError the interpreter raises for this errno about `filename` (the subclass the
// errno maps to, with errno, strerror and filename set).
PyErr os_error(int error_number, Borrowed filename);

// A host call that must return a new object returned `object`: null is an internal fault,
// reported through the unraisable hook, then a panic "PyObject pointer is null".
Object new_or_panic(PyObject* object);

}  // namespace tarnix::py

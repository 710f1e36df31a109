// Every entry from the interpreter: one trampoline per calling convention, each running
// its body under the panic guard, which is the one place where error values are raised
// into Python and where a panic becomes a Python exception.
#pragma once

#include <new>  // std::bad_alloc
#include <type_traits>

#include "base/panic.hpp"
#include "python/binding.hpp"  // FastcallArguments
#include "python/error.hpp"

namespace tarnix::py {

namespace detail {
// Raise a PanicException for `message`; a panic while doing so ends the process.
void raise_panic(const std::string& message) noexcept;
// Raise MemoryError: an allocation failed and everything was unwound.
void raise_no_memory() noexcept;
// Handles the exception being caught in the calling handler, raising its Python form.
void raise_current_exception() noexcept;
}  // namespace detail

// Counts a call into the module as one level of the interpreter's recursion, so that a
// hook that calls back into the module forever ends in RecursionError. On PyPy the check
// also keeps the module from running where the stack is nearly full: there any host call
// may fail, and some of them cannot fail without ending the process.
class RecursionLevel {
 public:
  RecursionLevel() noexcept : entered_(Py_EnterRecursiveCall("") == 0) {}
  ~RecursionLevel() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionLevel(const RecursionLevel&) = delete;
  RecursionLevel& operator=(const RecursionLevel&) = delete;
  // False with RecursionError pending, which is raised untouched.
  bool entered() const noexcept { return entered_; }

 private:
  bool entered_;
};

// Runs `body`, which returns a Result of an Object or of a plain value (a length, a
// status), under the panic guard:
// 1. a call beyond the recursion limit returns `failure_value` at once,
// 2. a result goes back to the interpreter (an Object as a new reference, a plain value
//    as it is),
// 3. an error value is raised and `failure_value` returned,
// 4. a panic (or a failed allocation) is raised as PanicException (MemoryError) and
//    `failure_value` returned.
template <class Body>
auto guarded(Body&& body, decltype(body().take_value()) failure_value = {}) noexcept {
  using Value = decltype(body().take_value());
  using Returned = std::conditional_t<std::is_same_v<Value, Object>, PyObject*, Value>;
  const RecursionLevel level;
  if (level.entered()) {
    try {
      auto result = body();
      if (result) {
        if constexpr (std::is_same_v<Value, Object>) {
          return result.take_value().release();
        } else {
          return result.take_value();
        }
      }
      std::move(result.error()).restore();
    } catch (...) {
      detail::raise_current_exception();
    }
  }
  if constexpr (std::is_same_v<Value, Object>) {
    return static_cast<Returned>(nullptr);
  } else {
    return failure_value;
  }
}

// The trampolines, one per calling convention: each turns the interpreter's arguments into
// a body's and its result into what the interpreter expects (null or -1 on failure).

template <Result<Object> (*Body)(Borrowed self, const FastcallArguments& call)>
PyObject* fastcall_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] { return Body(Borrowed(self), FastcallArguments{args, nargs, kwnames}); });
}

// tp_new. PyPy passes any object as the subtype, so the body gets it unchecked.
template <Result<Object> (*Body)(PyObject* subtype, PyObject* args, PyObject* kwargs)>
PyObject* new_trampoline(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(reinterpret_cast<PyObject*>(subtype), args, kwargs); });
}

// A class method taking a tuple and a dictionary.
template <Result<Object> (*Body)(Borrowed cls, PyObject* args, PyObject* kwargs)>
PyObject* varargs_trampoline(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(Borrowed(cls), args, kwargs); });
}

// tp_repr and the like.
template <Result<Object> (*Body)(Borrowed self)>
PyObject* unary_trampoline(PyObject* self) noexcept {
  return guarded([&] { return Body(Borrowed(self)); });
}

template <Result<Object> (*Body)(Borrowed self)>
PyObject* getter_trampoline(PyObject* self, void* /*closure*/) noexcept {
  return guarded([&] { return Body(Borrowed(self)); });
}

// A property's setter; `value` is null for a deletion.
template <Result<int> (*Body)(Borrowed self, PyObject* value)>
int setter_trampoline(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return guarded([&] { return Body(Borrowed(self), value); }, -1);
}

template <Result<Py_ssize_t> (*Body)(Borrowed self)>
Py_ssize_t length_trampoline(PyObject* self) noexcept {
  return guarded([&] { return Body(Borrowed(self)); }, -1);
}

// tp_setattro; `value` is null for a deletion.
template <Result<int> (*Body)(Borrowed self, PyObject* name, PyObject* value)>
int setattr_trampoline(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return guarded([&] { return Body(Borrowed(self), name, value); }, -1);
}

// A module's execution step: 0, or -1 with an exception set.
template <Result<int> (*Body)(PyObject* module)>
int exec_trampoline(PyObject* module) noexcept {
  return guarded([&] { return Body(module); }, -1);
}

// A method table holds every calling convention as a PyCFunction; the flags say which.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tarnix::py

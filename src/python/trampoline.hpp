// The panic guard around every entry from the interpreter: the only place where errors
// are raised into Python and where a C++ exception is caught.
#pragma once

#include <new>  // std::bad_alloc
#include <type_traits>

#include "core/panic.hpp"
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

// Runs `body`, which returns Result<Object> or Result<Py_ssize_t>, under the panic guard:
// 1. a call beyond the recursion limit returns `failure` at once,
// 2. a result goes back to the interpreter (an Object as a new reference),
// 3. an error value is raised and `failure` returned,
// 4. a panic (or a failed allocation) is raised as PanicException (MemoryError) and
//    `failure` returned.
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

// Deallocation cannot raise: a panic there is reported as unraisable.
template <class Body>
void guarded_unraisable(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    detail::raise_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace tarnix::py

// Giving up the interpreter lock around native work that touches no Python object.
#pragma once

#include "python/compat.hpp"

namespace tarnix::py {

// The lock given up for the scope, and taken back on every way out, a panic unwinding
// to the trampoline included.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tarnix::py

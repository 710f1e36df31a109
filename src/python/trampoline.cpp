// What the panic guard does with a caught panic.
#include "python/trampoline.hpp"

#include "python/panic_exception.hpp"

namespace tarnix::py::detail {

void raise_panic(const std::string& message) noexcept {
  try {
    panic_exception(message).restore();
  } catch (...) {
    base::abort_on_panic("uncaught panic at ffi boundary");
  }
}

void raise_no_memory() noexcept { PyErr_NoMemory(); }

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const base::Panic& panic) {
    raise_panic(panic.message);
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  } catch (...) {
    raise_panic(kUnknownPanicMessage);
  }
}

}  // namespace tarnix::py::detail

// Panics: internal faults that unwind to the module boundary as a C++ exception of our own.
#pragma once

#include <source_location>  // where a panic started, for its report
#include <string>

namespace tarnix::base {

// Deliberately unrelated to std::exception, so that no generic handler swallows it.
struct Panic {
  std::string message;
};

// Writes the panic report to standard error, then throws Panic{message}.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Continues a panic whose report was already written (one that came back from Python).
[[noreturn]] void resume_panic(std::string message);

// The one helper for internal-fault checks.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
  if (!condition) panic(message, where);
}

// Ends the process after a panic that could not be contained, writing
// the panic report for `message` and the abort line first.
[[noreturn]] void abort_on_panic(const std::string& message,
                                 std::source_location where = std::source_location::current());

}  // namespace tarnix::base

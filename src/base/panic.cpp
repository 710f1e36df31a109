// The panic report on standard error, and the throwing and aborting ends of a panic.
#include "base/panic.hpp"

#include <unistd.h>  // gettid

#include <cstdio>   // std::fprintf
#include <cstdlib>  // std::getenv, std::abort
#include <cstring>  // std::strstr

#include "base/backtrace.hpp"

namespace tarnix::base {
namespace {

// Keeps the report short: "src/core/x.cpp" rather than the build machine's absolute path.
const char* short_file_name(const char* path) {
  const char* src = std::strstr(path, "src/");
  return src ? src : path;
}

bool backtrace_requested() {
  const char* value = std::getenv("TARNIX_BACKTRACE");
  return value && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

void write_report(const std::string& message, const std::source_location& where) {
  // No thread of this module is ever given a name.
  std::fprintf(stderr, "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n%s\n",
               static_cast<long>(gettid()), short_file_name(where.file_name()),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  if (backtrace_requested()) {
    write_backtrace();
  } else {
    std::fprintf(stderr,
                 "note: run with `TARNIX_BACKTRACE=1` environment variable to display a "
                 "backtrace\n");
  }
  std::fflush(stderr);
}

}  // namespace

void panic(std::string message, std::source_location where) {
  write_report(message, where);
  throw Panic{std::move(message)};
}

void resume_panic(std::string message) { throw Panic{std::move(message)}; }

void abort_on_panic(const std::string& message, std::source_location where) {
  write_report(message, where);
  std::fprintf(stderr, "thread caused non-unwinding panic. aborting.\n");
  std::fflush(stderr);
  std::abort();
}

}  // namespace tarnix::base

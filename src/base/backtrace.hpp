// The stack backtrace of a panic report.
#pragma once

namespace tarnix::base {

// Writes "stack backtrace:" and then one line per frame of the calling thread to standard
// error, starting with the caller of this function; the line layout is described in
// backtrace.cpp. Runs while a panic starts, possibly on a worker's small stack: it never
// throws, its stack use is bounded, and it allocates only while demangling one name.
void write_backtrace() noexcept;

}  // namespace tarnix::base

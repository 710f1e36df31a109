// The stack walk behind a panic report's backtrace, and the line written for each frame.
//
// The layout is kept stable for tools and tests that read it:
//
//   stack backtrace:
//     0: /path/to/tarnix.cpython-311-x86_64-linux-gnu.so+0x1a2b3
//     1: /usr/lib/libpython3.11.so.1.0+0x1a7332 PyObject_Vectorcall
//     2: 0xf1e2d3c4
//     ...
//
// Frames are numbered from 0, the function that asked for the backtrace, outwards. A frame
// in a loaded object gives the object's path (the running executable's own path for the
// main program) and the address as an offset from the object's load bias, which is what
// `addr2line -e OBJECT OFFSET` and debuggers take; for a return address the offset points
// one byte back, into the call instruction. The symbol follows when the dynamic linker
// knows it: only exported names, so most of tarnix's own frames have none, and a static
// musl program has none at all. An address outside every object (code generated at run
// time) is printed alone. A final "  ..." says the walk stopped at its frame limit.
#include "base/backtrace.hpp"

#include <cxxabi.h>  // abi::__cxa_demangle, in both libstdc++ and libc++abi
#include <dlfcn.h>   // dladdr
#include <link.h>    // dl_iterate_phdr: the objects and their load biases, in static programs too
#include <unistd.h>  // readlink
#include <unwind.h>  // _Unwind_Backtrace: libgcc and libunwind both have it; execinfo.h is glibc's only

#include <cinttypes>  // PRIxPTR
#include <cstdint>    // std::uintptr_t
#include <cstdio>     // std::fprintf
#include <cstdlib>    // std::free
#include <cstring>    // std::strcmp, std::strlen, std::strncmp

namespace tarnix::base {
namespace {

// Deep enough to reach from a panic through tarnix into the interpreter; the addresses
// are kept in a fixed array, so the limit is also what bounds the walk's memory.
constexpr int kMaxFrames = 100;

// The demangler's working memory grows with the name (with libstdc++ it is on the stack),
// so longer names are printed as they are.
constexpr std::size_t kMaxDemangledName = 256;

struct Walk {
  std::uintptr_t addresses[kMaxFrames];
  int count = 0;
  int to_skip = 0;
  bool truncated = false;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  int before_instruction = 0;
  std::uintptr_t address = _Unwind_GetIPInfo(context, &before_instruction);
  if (address == 0) return _URC_END_OF_STACK;
  if (walk.to_skip > 0) {
    --walk.to_skip;
    return _URC_NO_REASON;
  }
  if (walk.count == kMaxFrames) {
    walk.truncated = true;
    return _URC_END_OF_STACK;
  }
  // Only a frame interrupted by a signal stands at the instruction it was about to run;
  // every other address is a return address, just past its call. Stepping back into the
  // call keeps the caller's function and line even when the call was the last
  // instruction of its function, as a call to a [[noreturn]] function often is.
  walk.addresses[walk.count++] = before_instruction ? address : address - 1;
  return _URC_NO_REASON;
}

struct Owner {
  std::uintptr_t address;
  const char* path = nullptr;  // borrowed from the dynamic linker, may be empty
  std::uintptr_t load_bias = 0;
};

int find_owner(dl_phdr_info* object, std::size_t, void* data) {
  Owner& owner = *static_cast<Owner*>(data);
  for (int i = 0; i < object->dlpi_phnum; ++i) {
    const auto& segment = object->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    std::uintptr_t start = object->dlpi_addr + segment.p_vaddr;
    if (owner.address - start < segment.p_memsz) {
      owner.path = object->dlpi_name ? object->dlpi_name : "";
      owner.load_bias = object->dlpi_addr;
      return 1;
    }
  }
  return 0;
}

// The main program is listed with an empty name (or, in a static musl program, as
// "/proc/self/exe", which would name the symboliser itself once copied to its command
// line). Read once and kept, so that later reports need no buffer of their own.
const char* executable_path() {
  static char path[4096];
  static const bool known = [] {
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return false;
    path[length] = '\0';
    return true;
  }();
  return known ? path : "<executable>";
}

void write_frame(int index, std::uintptr_t address) {
  Owner owner{address};
  dl_iterate_phdr(find_owner, &owner);
  if (!owner.path) {
    std::fprintf(stderr, "  %d: 0x%" PRIxPTR "\n", index, address);
    return;
  }
  const char* path = owner.path[0] != '\0' && std::strcmp(owner.path, "/proc/self/exe") != 0
                         ? owner.path
                         : executable_path();
  Dl_info symbol{};
  const char* name = nullptr;  // borrowed from the dynamic linker
  if (dladdr(reinterpret_cast<void*>(address), &symbol) && symbol.dli_sname &&
      symbol.dli_sname[0] != '\0') {
    name = symbol.dli_sname;
  }
  // Only "_Z" names are mangled functions: the demangler also reads type codes, and would
  // turn a C function named "f" into "float".
  char* demangled = nullptr;  // owned, from malloc
  if (name && std::strncmp(name, "_Z", 2) == 0 && std::strlen(name) <= kMaxDemangledName) {
    int status = 0;
    demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  }
  std::fprintf(stderr, "  %d: %s+0x%" PRIxPTR "%s%s\n", index, path, address - owner.load_bias,
               name ? " " : "", demangled ? demangled : name ? name : "");
  std::free(demangled);
}

}  // namespace

void write_backtrace() noexcept {
  Walk walk;
  walk.to_skip = 1;  // this function
  _Unwind_Backtrace(record_frame, &walk);
  std::fprintf(stderr, "stack backtrace:\n");
  for (int i = 0; i < walk.count; ++i) write_frame(i, walk.addresses[i]);
  if (walk.truncated) std::fprintf(stderr, "  ...\n");
}

}  // namespace tarnix::base

// The kernel table and the choice of a path for this processor, made once.
#include "core/kernels.hpp"

#include <cstdlib>  // std::getenv
#include <string_view>
#include <vector>

#include "base/panic.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>  // __get_cpuid, __get_cpuid_count
#endif

namespace tarnix::core {
namespace {

#if defined(__x86_64__) || defined(__i386__)
// Asked of the processor itself rather than through __builtin_cpu_supports, whose table
// is filled by a constructor of the compiler's runtime that not every toolchain links
// (with musl and clang it stays empty, and AVX2 would never be chosen).
bool processor_runs_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((ecx & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  // The system must save the SSE and AVX halves of the registers on a context switch.
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kAvx2 = 1u << 5;
  return (ebx & kAvx2) != 0;
}

// AVX2, and the multiply-adds of AVX-VNNI on the same registers.
bool processor_runs_avx_vnni() {
  if (!processor_runs_avx2()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kAvxVnni = 1u << 4;
  return (eax & kAvxVnni) != 0;
}
#endif

#if defined(__x86_64__)
// AVX2, and AVX-512's foundation, byte and word, vector-length and VNNI sets, with the
// system saving the opmask and all 512 bits of the thirty-two registers.
bool processor_runs_avx512() {
  if (!processor_runs_avx2()) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0xe6u) != 0xe6u) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kF = 1u << 16, kBw = 1u << 30, kVl = 1u << 31, kVnni = 1u << 11;
  return (ebx & (kF | kBw | kVl)) == (kF | kBw | kVl) && (ecx & kVnni) != 0;
}
#endif

// A path of this build and whether the processor runs it.
struct Path {
  Kernels kernels;
  bool (*runs_here)();
};

// Slowest first. SSE2 is part of every x86-64 and of the 32-bit builds (-msse2), so it
// needs no question; blocks are written by the portable path there.
const Path kPaths[] = {
    {{"scalar", score_blocks_scalar, score_batches_scalar, write_block_scalar, sketch_dots_scalar,
      sketch_uppers_scalar, QueryCodes::words, sketch_dots_scalar},
     [] { return true; }},
#if defined(__SSE2__)
    {{"sse2", score_blocks_sse2, score_batches_sse2, write_block_scalar, sketch_dots_sse2, sketch_uppers_sse2,
      QueryCodes::words, sketch_dots_sse2},
     [] { return true; }},
#endif
#if defined(__x86_64__) || defined(__i386__)
    {{"avx2", score_blocks_avx2, score_batches_avx2, write_block_avx2, sketch_dots_avx2, sketch_uppers_avx2,
      QueryCodes::words, sketch_dots_avx2},
     processor_runs_avx2},
    // AVX2's kernels but for the sketch's integer dot products, with the queries' codes as bytes.
    {{"avx-vnni", score_blocks_avx2, score_batches_avx2, write_block_avx2, sketch_dots_avx_vnni,
      sketch_uppers_avx2, QueryCodes::bytes, sketch_dots_avx2},
     processor_runs_avx_vnni},
#endif
#if defined(__x86_64__)
    // AVX2's kernels but for the sketch's, on 512-bit registers, with the queries' codes as bytes.
    {{"avx512-vnni", score_blocks_avx2, score_batches_avx2, write_block_avx2, sketch_dots_avx512,
      sketch_uppers_avx512, QueryCodes::bytes, sketch_dots_avx2},
     processor_runs_avx512},
#endif
};

std::string names_of(const std::vector<const Kernels*>& kernels) {
  std::string names;
  for (const Kernels* k : kernels) names += (names.empty() ? "" : ", ") + std::string(k->name);
  return names;
}

base::Expected<const Kernels*, std::string> choose() {
  const std::span<const Kernels* const> available = available_kernels();
  const char* requested = std::getenv("TARNIX_KERNEL");
  if (!requested) return available.back();
  for (const Kernels* k : available) {
    if (std::string_view(requested) == k->name) return k;
  }
  std::vector<const Kernels*> built;
  for (const Path& path : kPaths) built.push_back(&path.kernels);
  for (const Kernels* k : built) {
    if (std::string_view(requested) == k->name)
      return base::fail("TARNIX_KERNEL names \"" + std::string(requested) +
                        "\", which this processor cannot run (it runs " +
                        names_of({available.begin(), available.end()}) + ")");
  }
  return base::fail("TARNIX_KERNEL names \"" + std::string(requested) + "\", which is not a kernel path (" +
                    names_of(built) + ")");
}

}  // namespace

std::span<const Kernels* const> available_kernels() {
  static const std::vector<const Kernels*> available = [] {
    std::vector<const Kernels*> paths;
    for (const Path& path : kPaths) {
      if (path.runs_here()) paths.push_back(&path.kernels);
    }
    return paths;
  }();
  return available;
}

base::Expected<const Kernels*, std::string> chosen_kernels() {
  static const base::Expected<const Kernels*, std::string> chosen = choose();
  return chosen;
}

const Kernels& active_kernels() {
  static const Kernels* const active = [] {
    auto chosen = chosen_kernels();
    if (!chosen) base::panic(chosen.take_error());
    return chosen.value();
  }();
  return *active;
}

}  // namespace tarnix::core

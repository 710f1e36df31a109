// Choosing the block kernels for this processor, once.
#include <cstdlib>  // std::getenv
#include <string_view>
#include <vector>

#include "core/block_scores.hpp"
#include "core/block_write.hpp"

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
#endif

std::vector<KernelPath> detect_paths() {
  std::vector<KernelPath> paths{KernelPath::scalar};
#if defined(__SSE2__)
  paths.push_back(KernelPath::sse2);
#endif
#if defined(__x86_64__) || defined(__i386__)
  if (processor_runs_avx2()) paths.push_back(KernelPath::avx2);
#endif
  return paths;
}

KernelPath choose_path() {
  const KernelPath fastest = available_paths().back();
  const char* requested = std::getenv("TARNIX_KERNEL");
  if (!requested) return fastest;
  for (KernelPath path : available_paths()) {
    if (std::string_view(requested) == path_name(path)) return path;
  }
  return fastest;
}

}  // namespace

std::span<const KernelPath> available_paths() {
  static const std::vector<KernelPath> paths = detect_paths();
  return paths;
}

KernelPath active_path() {
  static const KernelPath path = choose_path();
  return path;
}

BlockScores block_scores(KernelPath path) {
  switch (path) {
#if defined(__SSE2__)
    case KernelPath::sse2:
      return block_scores_sse2;
#endif
#if defined(__x86_64__) || defined(__i386__)
    case KernelPath::avx2:
      return block_scores_avx2;
#endif
    default:
      return block_scores_scalar;
  }
}

BlockWrite block_write(KernelPath path) {
#if defined(__x86_64__) || defined(__i386__)
  if (path == KernelPath::avx2) return block_write_avx2;
#endif
  (void)path;
  return block_write_scalar;
}

const char* path_name(KernelPath path) {
  switch (path) {
    case KernelPath::sse2:
      return "sse2";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::scalar:
      break;
  }
  return "scalar";
}

}  // namespace tarnix::core

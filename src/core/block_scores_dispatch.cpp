// Choosing the block kernels for this processor, once.
#include <cstdlib>  // std::getenv
#include <string_view>
#include <vector>

#include "core/block_scores.hpp"
#include "core/block_write.hpp"

namespace tarnix::core {
namespace {

std::vector<KernelPath> detect_paths() {
  std::vector<KernelPath> paths{KernelPath::scalar};
#if defined(__SSE2__)
  paths.push_back(KernelPath::sse2);
#endif
#if defined(__x86_64__) || defined(__i386__)
  // Also checks that the system saves the AVX registers.
  if (__builtin_cpu_supports("avx2")) paths.push_back(KernelPath::avx2);
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

// The cosine similarity kernel. Built with -ffp-contract=off (and SSE arithmetic on
// 32-bit x86), so each product and each sum below is one float32 operation, in this order.
#include "core/kernel.hpp"

#include <algorithm>  // std::min
#include <cmath>      // std::sqrt

namespace tarnix::core {
namespace {

float sum_of_squares(std::span<const float> v) noexcept {
  float sum = -0.0f;  // the identity of IEEE addition: an empty sum stays -0.0
  for (float x : v) sum = sum + x * x;
  return sum;
}

}  // namespace

float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  float dot = -0.0f;
  for (std::size_t i = 0; i < common; ++i) dot = dot + a[i] * b[i];
  const float sa = sum_of_squares(a);
  const float sb = sum_of_squares(b);
  // A norm is zero exactly when its sum of squares is; NaN compares unequal and goes on.
  if (sa == 0.0f || sb == 0.0f) return 0.0f;
  const float norms = std::sqrt(sa) * std::sqrt(sb);
  return dot / norms;
}

CoreResult<float> checked_cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size())
    return fail(DimensionError{"vectors have different dimensions (" + std::to_string(a.size()) + " vs " +
                               std::to_string(b.size()) + ")"});
  return cosine_similarity(a, b);
}

}  // namespace tarnix::core

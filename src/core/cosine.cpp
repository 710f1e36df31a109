// The cosine similarity kernel. Built with -ffp-contract=off (and SSE arithmetic on
// 32-bit x86), so each product and each sum below is one float32 operation, in this order.
#include "core/cosine.hpp"

#include <algorithm>  // std::min
#include <cmath>      // std::sqrt

namespace tarnix::core {
float sum_of_squares(std::span<const float> v) noexcept {
  float sum = -0.0f;  // the identity of IEEE addition: an empty sum stays -0.0
  for (float x : v) sum = sum + x * x;
  return sum;
}

void block_norms(const float* block, std::size_t lanes, std::size_t dimension, float* norms) noexcept {
  for (std::size_t lane = 0; lane < lanes; ++lane) norms[lane] = -0.0f;
  for (std::size_t j = 0; j < dimension; ++j) {
    const float* row = block + j * lanes;
    for (std::size_t lane = 0; lane < lanes; ++lane) norms[lane] = norms[lane] + row[lane] * row[lane];
  }
  for (std::size_t lane = 0; lane < lanes; ++lane) norms[lane] = std::sqrt(norms[lane]);
}

void row_scores(const float* rows, std::size_t count, std::size_t dimension, const float* query, float query_norm,
                float* scores) noexcept {
  constexpr std::size_t kSideBySide = 8;
  for (std::size_t first = 0; first < count; first += kSideBySide) {
    const std::size_t n = std::min(kSideBySide, count - first);
    const float* block = rows + first * dimension;
    float dots[kSideBySide], squares[kSideBySide];
    for (std::size_t i = 0; i < kSideBySide; ++i) dots[i] = squares[i] = -0.0f;
    for (std::size_t j = 0; j < dimension; ++j) {
      const float q = query[j];
      for (std::size_t i = 0; i < n; ++i) {
        const float x = block[i * dimension + j];
        dots[i] = dots[i] + q * x;
        squares[i] = squares[i] + x * x;
      }
    }
    for (std::size_t i = 0; i < n; ++i) scores[first + i] = cosine_from_norms(dots[i], query_norm, std::sqrt(squares[i]));
  }
}

float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  float dot = -0.0f;
  for (std::size_t i = 0; i < common; ++i) dot = dot + a[i] * b[i];
  return cosine_from_norms(dot, std::sqrt(sum_of_squares(a)), std::sqrt(sum_of_squares(b)));
}

CoreResult<float> checked_cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size())
    return base::fail(DimensionError{"vectors have different dimensions (" + std::to_string(a.size()) + " vs " +
                               std::to_string(b.size()) + ")"});
  return cosine_similarity(a, b);
}

}  // namespace tarnix::core

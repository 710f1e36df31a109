// The cosine similarity kernel: float32 arithmetic in one fixed order.
#pragma once

#include <span>

#include "core/store.hpp"

namespace tarnix::core {

// The cosine from a dot product and the two norms (square roots of the sums of squares):
// +0.0 when either norm is zero, as a norm is zero exactly when its sum of squares is.
inline float cosine_from_norms(float dot, float norm_a, float norm_b) noexcept {
  if (norm_a == 0.0f || norm_b == 0.0f) return 0.0f;  // NaN compares unequal and goes on
  return dot / (norm_a * norm_b);
}

// The strict left-to-right sum of the squares, from -0.0.
float sum_of_squares(std::span<const float> v) noexcept;

// The norm (square root of the strict sum of squares) of each record of a block of
// `lanes` records, lane-interleaved: lane by lane, the bits of sum_of_squares, but all
// lanes at once instead of one long chain of dependent additions per record.
void block_norms(const float* block, std::size_t lanes, std::size_t dimension, float* norms) noexcept;

// The cosines of `count` records stored one after another (rows of `dimension` floats)
// with the query, exactly as cosine_similarity(query, row) gives them; several rows are
// summed side by side, each in its own strict order.
void row_scores(const float* rows, std::size_t count, std::size_t dimension, const float* query, float query_norm,
                float* scores) noexcept;

// Strict left-to-right sums from -0.0, no fused multiply-add; +0.0 when either norm is zero.
// The dot product runs over the common length, each sum of squares over its whole operand.
float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept;

// The similarity of two vectors a caller supplies: they must have the same length.
CoreResult<float> checked_cosine_similarity(std::span<const float> a, std::span<const float> b);

}  // namespace tarnix::core

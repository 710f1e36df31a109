// The cosine similarity kernel: float32 arithmetic in one fixed order.
#pragma once

#include <span>

#include "core/store.hpp"

namespace tarnix::core {

// Strict left-to-right sums from -0.0, no fused multiply-add; +0.0 when either norm is zero.
// The dot product runs over the common length, each sum of squares over its whole operand.
float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept;

// The similarity of two vectors a caller supplies: they must have the same length.
CoreResult<float> checked_cosine_similarity(std::span<const float> a, std::span<const float> b);

}  // namespace tarnix::core

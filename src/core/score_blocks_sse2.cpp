// SSE2: four lanes per register, a block row in sixteen registers. Summing them side by
// side keeps the adders busy and reads each block as one stream; each lane still adds
// its own record's products in order.
#include "core/score_blocks.hpp"
#include "core/store.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace tarnix::core {
namespace {

// A whole block row per pass, though sixteen accumulators are more registers than
// there are: the spilled ones live in the first-level cache, and one pass over a block
// measured faster than several narrower passes.
constexpr std::size_t kRegisters = kBlockLanes / 4;

// dot / (query_norm * norm), or +0.0 where either norm is zero: the scalar kernel's steps.
inline __m128 cosine(__m128 dots, __m128 query_norm, __m128 norms) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 no_norm = _mm_or_ps(_mm_cmpeq_ps(query_norm, zero), _mm_cmpeq_ps(norms, zero));
  return _mm_andnot_ps(no_norm, _mm_div_ps(dots, _mm_mul_ps(query_norm, norms)));
}

void score_block(const float* block, std::size_t dimension, const float* query, __m128 query_norm,
                 const float* lane_norms, float* scores) {
  __m128 sums[kRegisters];
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kRegisters; ++r) sums[r] = _mm_set1_ps(-0.0f);
  for (std::size_t j = 0; j < dimension; ++j) {
    const __m128 q = _mm_set1_ps(query[j]);
    const float* row = block + j * kBlockLanes;
#pragma GCC unroll 16
    for (std::size_t r = 0; r < kRegisters; ++r) sums[r] = _mm_add_ps(sums[r], _mm_mul_ps(q, _mm_load_ps(row + r * 4)));
  }
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kRegisters; ++r)
    _mm_storeu_ps(scores + r * 4, cosine(sums[r], query_norm, _mm_loadu_ps(lane_norms + r * 4)));
}

}  // namespace

void score_blocks_sse2(const BlockRun& run, const float* query, float query_norm, float* scores) {
  const __m128 qn = _mm_set1_ps(query_norm);
  for (std::size_t b = 0; b < run.block_count; ++b) {
    score_block(run.blocks + b * run.stride, run.dimension, query, qn, run.norms + b * run.norms_stride,
                scores + b * kBlockLanes);
  }
}

}  // namespace tarnix::core
#endif

// AVX2: eight lanes per register, a block row in eight registers. Summing eight
// registers side by side keeps the adders busy and reads each block as one stream;
// each lane still adds its own record's products in order. The target is avx2 alone,
// not fma, so a product and its sum stay two roundings.
#include "core/score_blocks.hpp"
#include "core/store.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

// A whole block row per pass. On 32-bit x86, with eight YMM registers, some accumulators
// live in the first-level cache; still one pass beats two (the second from the cache).
constexpr std::size_t kRegisters = kBlockLanes / 8;

// dot / (query_norm * norm), or +0.0 where either norm is zero: the scalar kernel's steps.
__attribute__((target("avx2"))) inline __m256 cosine(__m256 dots, __m256 query_norm, __m256 norms) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 no_norm =
      _mm256_or_ps(_mm256_cmp_ps(query_norm, zero, _CMP_EQ_OQ), _mm256_cmp_ps(norms, zero, _CMP_EQ_OQ));
  return _mm256_andnot_ps(no_norm, _mm256_div_ps(dots, _mm256_mul_ps(query_norm, norms)));
}

__attribute__((target("avx2"))) void score_block(const float* block, std::size_t dimension, const float* query,
                                                 __m256 query_norm, const float* lane_norms, float* scores) {
  __m256 sums[kRegisters];
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kRegisters; ++r) sums[r] = _mm256_set1_ps(-0.0f);
  for (std::size_t j = 0; j < dimension; ++j) {
    const __m256 q = _mm256_set1_ps(query[j]);
    const float* row = block + j * kBlockLanes;
#pragma GCC unroll 16
    for (std::size_t r = 0; r < kRegisters; ++r)
      sums[r] = _mm256_add_ps(sums[r], _mm256_mul_ps(q, _mm256_load_ps(row + r * 8)));
  }
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kRegisters; ++r)
    _mm256_storeu_ps(scores + r * 8, cosine(sums[r], query_norm, _mm256_loadu_ps(lane_norms + r * 8)));
}

}  // namespace

__attribute__((target("avx2"))) void score_blocks_avx2(const BlockRun& run, const float* query, float query_norm,
                                                       float* scores) {
  const __m256 qn = _mm256_set1_ps(query_norm);
  for (std::size_t b = 0; b < run.block_count; ++b) {
    score_block(run.blocks + b * run.stride, run.dimension, query, qn, run.norms + b * run.norms_stride,
                scores + b * kBlockLanes);
  }
}

}  // namespace tarnix::core
#endif

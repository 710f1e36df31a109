// AVX2: tiles of two registers of eight lanes by four queries (two on 32-bit x86, which
// has eight vector registers): each row of sixteen lanes is loaded once and serves every
// query of the tile, and the eight sums in flight keep both adders and both multipliers
// busy. The target is avx2 alone, not fma, so a product and its sum stay two roundings.
#include "core/batch_tiles.hpp"
#include "core/score_batches.hpp"
#include "core/store.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kTileLanes = 16;
#if defined(__x86_64__)
constexpr std::size_t kTileQueries = 4;
#else
constexpr std::size_t kTileQueries = 2;
#endif

// dot / (query_norm * norm), or +0.0 where either norm is zero: the scalar kernel's steps.
__attribute__((target("avx2"))) inline __m256 cosine(__m256 dots, __m256 query_norm, __m256 norms) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 no_norm =
      _mm256_or_ps(_mm256_cmp_ps(query_norm, zero, _CMP_EQ_OQ), _mm256_cmp_ps(norms, zero, _CMP_EQ_OQ));
  return _mm256_andnot_ps(no_norm, _mm256_div_ps(dots, _mm256_mul_ps(query_norm, norms)));
}

// kQueries queries against lanes [first, first + kTileLanes) of one block.
template <std::size_t kQueries>
__attribute__((target("avx2"))) inline void score_tile(const float* block, const float* lane_norms, std::size_t first,
                                                       std::size_t dimension, const float* queries, std::size_t stride,
                                                       const float* query_norms, float* scores,
                                                       std::size_t scores_stride) {
  __m256 low[kQueries], high[kQueries];
#pragma GCC unroll 4
  for (std::size_t q = 0; q < kQueries; ++q) low[q] = high[q] = _mm256_set1_ps(-0.0f);
  const float* row = block + first;
  for (std::size_t j = 0; j < dimension; ++j, row += kBlockLanes) {
    const __m256 a = _mm256_load_ps(row);
    const __m256 b = _mm256_load_ps(row + 8);
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kQueries; ++q) {
      const __m256 x = _mm256_broadcast_ss(queries + q * stride + j);
      low[q] = _mm256_add_ps(low[q], _mm256_mul_ps(x, a));
      high[q] = _mm256_add_ps(high[q], _mm256_mul_ps(x, b));
    }
  }
  const __m256 norms_low = _mm256_loadu_ps(lane_norms + first);
  const __m256 norms_high = _mm256_loadu_ps(lane_norms + first + 8);
#pragma GCC unroll 4
  for (std::size_t q = 0; q < kQueries; ++q) {
    const __m256 qn = _mm256_set1_ps(query_norms[q]);
    float* out = scores + q * scores_stride + first;
    _mm256_storeu_ps(out, cosine(low[q], qn, norms_low));
    _mm256_storeu_ps(out + 8, cosine(high[q], qn, norms_high));
  }
}

}  // namespace

__attribute__((target("avx2"))) void score_batches_avx2(const BlockRun& run, const QueryTile& queries, float* scores,
                                                        std::size_t scores_stride) {
  score_batches_in_tiles<kTileQueries, kTileLanes>(
      run, queries, scores, scores_stride, [](auto size, auto... tile) __attribute__((always_inline)) {
        score_tile<decltype(size)::value>(tile...);
      });
}

}  // namespace tarnix::core
#endif

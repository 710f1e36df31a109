// SSE2: tiles of two registers of four lanes by four queries (two on 32-bit x86, which
// has eight vector registers): each row of eight lanes is loaded once and serves every
// query of the tile, and the sums in flight keep the adders and multipliers busy.
#include "core/batch_tiles.hpp"
#include "core/score_batches.hpp"
#include "core/store.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kTileLanes = 8;
#if defined(__x86_64__)
constexpr std::size_t kTileQueries = 4;
#else
constexpr std::size_t kTileQueries = 2;
#endif

// dot / (query_norm * norm), or +0.0 where either norm is zero: the scalar kernel's steps.
inline __m128 cosine(__m128 dots, __m128 query_norm, __m128 norms) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 no_norm = _mm_or_ps(_mm_cmpeq_ps(query_norm, zero), _mm_cmpeq_ps(norms, zero));
  return _mm_andnot_ps(no_norm, _mm_div_ps(dots, _mm_mul_ps(query_norm, norms)));
}

// kQueries queries against lanes [first, first + kTileLanes) of one block.
template <std::size_t kQueries>
inline void score_tile(const float* block, const float* lane_norms, std::size_t first, std::size_t dimension,
                       const float* queries, std::size_t stride, const float* query_norms, float* scores,
                       std::size_t scores_stride) {
  __m128 low[kQueries], high[kQueries];
#pragma GCC unroll 4
  for (std::size_t q = 0; q < kQueries; ++q) low[q] = high[q] = _mm_set1_ps(-0.0f);
  const float* row = block + first;
  for (std::size_t j = 0; j < dimension; ++j, row += kBlockLanes) {
    const __m128 a = _mm_load_ps(row);
    const __m128 b = _mm_load_ps(row + 4);
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kQueries; ++q) {
      const __m128 x = _mm_set1_ps(queries[q * stride + j]);
      low[q] = _mm_add_ps(low[q], _mm_mul_ps(x, a));
      high[q] = _mm_add_ps(high[q], _mm_mul_ps(x, b));
    }
  }
  const __m128 norms_low = _mm_loadu_ps(lane_norms + first);
  const __m128 norms_high = _mm_loadu_ps(lane_norms + first + 4);
#pragma GCC unroll 4
  for (std::size_t q = 0; q < kQueries; ++q) {
    const __m128 qn = _mm_set1_ps(query_norms[q]);
    float* out = scores + q * scores_stride + first;
    _mm_storeu_ps(out, cosine(low[q], qn, norms_low));
    _mm_storeu_ps(out + 4, cosine(high[q], qn, norms_high));
  }
}

}  // namespace

void score_batches_sse2(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride) {
  score_batches_in_tiles<kTileQueries, kTileLanes>(
      run, queries, scores, scores_stride, [](auto size, auto... tile) __attribute__((always_inline)) {
        score_tile<decltype(size)::value>(tile...);
      });
}

}  // namespace tarnix::core
#endif

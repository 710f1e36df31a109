// SSE2: a tile of two records by two queries, small enough for the eight registers of
// the 32-bit target. Each step widens eight codes of each record to int16 once and
// multiplies them pairwise with both queries into four int32 lanes. A lane takes two
// products per step, so it sums a quarter of a chunk's products: chunks of 2048 codes
// stay within the int32 range. The upper bounds go two records at a time, in
// the operations and order of sketch_uppers_one_by_one.
#include "core/sketch_kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kChunk = 2048;

std::int64_t lanes_sum(__m128i sums) {
  alignas(16) std::int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
  return std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

// Eight codes, each into the high half of a 16-bit lane, then shifted down with its sign.
inline __m128i widened(const std::int8_t* codes) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
  return _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
}

inline __m128i loaded(const std::int16_t* query) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(query));
}

// kRows rows against kQueries queries, their dots stored at dots[q * dots_stride + i].
template <std::size_t kRows, std::size_t kQueries>
inline void tile(const std::int8_t* row, std::size_t stride, const SketchedQuery* const* queries, double* dots,
                 std::size_t dots_stride) {
  const std::int16_t* words[kQueries];
  for (std::size_t q = 0; q < kQueries; ++q) words[q] = queries[q]->codes.data();
  std::int64_t totals[kQueries][kRows] = {};
  for (std::size_t first = 0; first < stride; first += kChunk) {
    const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
    __m128i sums[kQueries][kRows];
    for (std::size_t q = 0; q < kQueries; ++q)
      for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm_setzero_si128();
    for (std::size_t j = first; j < end; j += 8) {
      __m128i c[kRows];
      for (std::size_t i = 0; i < kRows; ++i) c[i] = widened(row + i * stride + j);
      for (std::size_t q = 0; q < kQueries; ++q) {
        const __m128i k = loaded(words[q] + j);
        for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm_add_epi32(sums[q][i], _mm_madd_epi16(c[i], k));
      }
    }
    for (std::size_t q = 0; q < kQueries; ++q)
      for (std::size_t i = 0; i < kRows; ++i) totals[q][i] += lanes_sum(sums[q][i]);
  }
  for (std::size_t q = 0; q < kQueries; ++q)
    for (std::size_t i = 0; i < kRows; ++i) dots[q * dots_stride + i] = static_cast<double>(totals[q][i]);
}

template <std::size_t kRows>
inline void rows_against(const std::int8_t* row, std::size_t stride, const SketchedQuery* const* queries,
                         std::size_t query_count, double* dots, std::size_t dots_stride) {
  std::size_t q = 0;
  for (; q + 2 <= query_count; q += 2) tile<kRows, 2>(row, stride, queries + q, dots + q * dots_stride, dots_stride);
  if (q < query_count) tile<kRows, 1>(row, stride, queries + q, dots + q * dots_stride, dots_stride);
}

// Two floats, widened to doubles.
inline __m128d two_doubles(const float* values) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(values))));
}

}  // namespace

void sketch_dots_sse2(const std::int8_t* codes, std::size_t stride, std::size_t count,
                      const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                      std::size_t dots_stride) {
  std::size_t r = 0;
  for (; r + 2 <= count; r += 2) rows_against<2>(codes + r * stride, stride, queries, query_count, dots + r, dots_stride);
  if (r < count) rows_against<1>(codes + r * stride, stride, queries, query_count, dots + r, dots_stride);
}

bool sketch_uppers_sse2(const SketchedQuery& query, const double* dots, const float* scales,
                        const float* residuals, std::size_t count, double cut, double* uppers) {
  const __m128d query_scale = _mm_set1_pd(query.scale);
  const __m128d slack = _mm_set1_pd(query.slack);
  const __m128d residual_factor = _mm_set1_pd(query.residual_factor);
  const __m128d estimate_factor = _mm_set1_pd(query.estimate_factor);
  const __m128d widening = _mm_set1_pd(kBoundWidening);
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d cuts = _mm_set1_pd(cut);
  __m128d reached = _mm_setzero_pd();
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m128d estimate = _mm_mul_pd(_mm_mul_pd(two_doubles(scales + i), query_scale), _mm_loadu_pd(dots + i));
    const __m128d residual_term = _mm_mul_pd(two_doubles(residuals + i), residual_factor);
    const __m128d estimate_term = _mm_mul_pd(estimate_factor, _mm_andnot_pd(sign, estimate));
    const __m128d bound = _mm_mul_pd(_mm_add_pd(_mm_add_pd(slack, residual_term), estimate_term), widening);
    const __m128d upper = _mm_add_pd(estimate, bound);
    _mm_storeu_pd(uppers + i, upper);
    reached = _mm_or_pd(reached, _mm_cmpnlt_pd(upper, cuts));
  }
  const bool tail = sketch_uppers_one_by_one(query, dots, scales, residuals, i, count, cut, uppers);
  return _mm_movemask_pd(reached) != 0 || tail;
}

}  // namespace tarnix::core
#endif

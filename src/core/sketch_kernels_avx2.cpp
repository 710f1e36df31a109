// AVX2: a tile of four records by two queries (one on the 32-bit target). Each step
// widens sixteen codes of each of the four records to int16 once and multiplies them
// pairwise with every query of the tile into eight int32 lanes, so one read of the codes
// serves every query of the tile. The lanes of a record and query are summed by
// horizontal adds, four records at a time; over a chunk of 512 codes no sum leaves the
// int32 range (512 * 32767 * 127 < 2^31), and chunks add up in doubles, exactly, as
// integers below 2^53. The upper bounds go four records at a time, in the operations and
// order of sketch_uppers_one_by_one.
#include "core/sketch_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kChunk = 512;
constexpr std::size_t kRows = 4;
// Queries per tile: two where there are sixteen vector registers; the 32-bit mode has
// eight, which four records' codes and their sums for one query already fill.
constexpr std::size_t kQueries = sizeof(void*) == 8 ? 2 : 1;
// How far ahead of the rows being read their successors are fetched: the sums take
// longer per byte than a plain read, and the fetches keep the memory busy meanwhile.
constexpr std::size_t kAhead = 4096;

__attribute__((target("avx2"))) inline __m256i widened(const std::int8_t* codes) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes)));
}

__attribute__((target("avx2"))) inline __m256i loaded(const std::int16_t* query) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query));
}

// The four rows' totals of their eight lanes each, as four doubles (exact integers).
__attribute__((target("avx2"))) inline __m256d four_totals(const __m256i* sums) {
  const __m256i pairs =
      _mm256_hadd_epi32(_mm256_hadd_epi32(sums[0], sums[1]), _mm256_hadd_epi32(sums[2], sums[3]));
  const __m128i totals = _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
  return _mm256_cvtepi32_pd(totals);
}

__attribute__((target("avx2"))) std::int64_t one_total(__m256i sums) {
  const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  const __m128i quarter = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4e));
  return _mm_cvtsi128_si32(_mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0xb1)));
}

// Four rows against kQueries queries, their dots stored at dots[q * dots_stride + 0..3].
template <std::size_t kQueries>
__attribute__((target("avx2"), always_inline)) inline void four_rows(const std::int8_t* row, std::size_t stride,
                                                                     const SketchedQuery* const* queries,
                                                                     double* dots, std::size_t dots_stride) {
  const std::int16_t* words[kQueries];
  for (std::size_t q = 0; q < kQueries; ++q) words[q] = queries[q]->codes.data();
  // The chunks' totals add up in the output, so that no register holds them across the
  // loop: the tile's sums and codes take every register there is.
  for (std::size_t q = 0; q < kQueries; ++q) _mm256_storeu_pd(dots + q * dots_stride, _mm256_setzero_pd());
  for (std::size_t first = 0; first < stride; first += kChunk) {
    const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
    __m256i sums[kQueries][kRows];
    for (std::size_t q = 0; q < kQueries; ++q)
      for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm256_setzero_si256();
    for (std::size_t j = first; j < end; j += 16) {
      const __m256i c[kRows] = {widened(row + j), widened(row + stride + j), widened(row + 2 * stride + j),
                                widened(row + 3 * stride + j)};
      for (std::size_t q = 0; q < kQueries; ++q) {
        const __m256i k = loaded(words[q] + j);
        for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm256_add_epi32(sums[q][i], _mm256_madd_epi16(c[i], k));
      }
    }
    for (std::size_t q = 0; q < kQueries; ++q) {
      double* out = dots + q * dots_stride;
      _mm256_storeu_pd(out, _mm256_add_pd(_mm256_loadu_pd(out), four_totals(sums[q])));
    }
  }
}

// The same tile with AVX-VNNI, the queries' codes as bytes: each step reads thirty-two
// codes of each record, biased by 128 into unsigned bytes (c + 128 in [1, 255], the
// unsigned operand of vpdpbusd), and multiply-adds them in fours with each query's codes,
// one instruction per record and query; the query's code sum takes 128 * sum(k) back off,
// exactly. Over a chunk of 8192 codes no sum leaves the int32 range (8192 * 255 * 127 < 2^31).
constexpr std::size_t kByteChunk = 8192;

__attribute__((target("avx2"))) inline __m256i biased(const std::int8_t* codes) {
  return _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes)), _mm256_set1_epi8(-128));
}

__attribute__((target("avx2"))) inline __m256i query_bytes(const std::int8_t* query) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query));
}

template <std::size_t kQueries>
__attribute__((target("avx2,avxvnni"), always_inline)) inline void four_rows_vnni(
    const std::int8_t* row, std::size_t stride, const SketchedQuery* const* queries, double* dots,
    std::size_t dots_stride) {
  const std::int8_t* bytes[kQueries];
  for (std::size_t q = 0; q < kQueries; ++q) bytes[q] = queries[q]->bytes.data();
  for (std::size_t first = 0; first < stride; first += kByteChunk) {
    const std::size_t end = first + kByteChunk < stride ? first + kByteChunk : stride;
    __m256i sums[kQueries][kRows];
    for (std::size_t q = 0; q < kQueries; ++q)
      for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm256_setzero_si256();
    for (std::size_t j = first; j < end; j += 32) {
      const __m256i c[kRows] = {biased(row + j), biased(row + stride + j), biased(row + 2 * stride + j),
                                biased(row + 3 * stride + j)};
      for (std::size_t q = 0; q < kQueries; ++q) {
        const __m256i k = query_bytes(bytes[q] + j);
        for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm256_dpbusd_avx_epi32(sums[q][i], c[i], k);
      }
    }
    // The first chunk starts from -128 * sum(k); every partial sum is an integer below 2^53.
    for (std::size_t q = 0; q < kQueries; ++q) {
      double* out = dots + q * dots_stride;
      const __m256d before = first == 0 ? _mm256_set1_pd(-128.0 * queries[q]->code_sum) : _mm256_loadu_pd(out);
      _mm256_storeu_pd(out, _mm256_add_pd(before, four_totals(sums[q])));
    }
  }
}

__attribute__((target("avx2,avxvnni"))) double one_row_vnni(const std::int8_t* row, std::size_t stride,
                                                          const SketchedQuery& query) {
  std::int64_t total = 0;
  for (std::size_t first = 0; first < stride; first += kByteChunk) {
    const std::size_t end = first + kByteChunk < stride ? first + kByteChunk : stride;
    __m256i sums = _mm256_setzero_si256();
    for (std::size_t j = first; j < end; j += 32)
      sums = _mm256_dpbusd_avx_epi32(sums, biased(row + j), query_bytes(query.bytes.data() + j));
    total += one_total(sums);
  }
  return static_cast<double>(total) - 128.0 * query.code_sum;
}

__attribute__((target("avx2"))) double one_row(const std::int8_t* row, std::size_t stride,
                                               const std::int16_t* query) {
  std::int64_t total = 0;
  for (std::size_t first = 0; first < stride; first += kChunk) {
    const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
    __m256i sums = _mm256_setzero_si256();
    for (std::size_t j = first; j < end; j += 16)
      sums = _mm256_add_epi32(sums, _mm256_madd_epi16(widened(row + j), loaded(query + j)));
    total += one_total(sums);
  }
  return static_cast<double>(total);
}

}  // namespace

__attribute__((target("avx2"))) void sketch_dots_avx2(const std::int8_t* codes, std::size_t stride,
                                                      std::size_t count, const SketchedQuery* const* queries,
                                                      std::size_t query_count, double* dots,
                                                      std::size_t dots_stride) {
  std::size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    const std::int8_t* row = codes + r * stride;
    for (std::size_t line = 0; line < kRows * stride; line += 64)
      _mm_prefetch(reinterpret_cast<const char*>(row + kAhead + line), _MM_HINT_T0);
    std::size_t q = 0;
    for (; q + kQueries <= query_count; q += kQueries)
      four_rows<kQueries>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
    if (q < query_count) four_rows<1>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
  }
  for (; r < count; ++r) {
    for (std::size_t q = 0; q < query_count; ++q)
      dots[q * dots_stride + r] = one_row(codes + r * stride, stride, queries[q]->codes.data());
  }
}

__attribute__((target("avx2,avxvnni"))) void sketch_dots_avx_vnni(const std::int8_t* codes, std::size_t stride,
                                                                 std::size_t count, const SketchedQuery* const* queries,
                                                                 std::size_t query_count, double* dots,
                                                                 std::size_t dots_stride) {
  std::size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    const std::int8_t* row = codes + r * stride;
    for (std::size_t line = 0; line < kRows * stride; line += 64)
      _mm_prefetch(reinterpret_cast<const char*>(row + kAhead + line), _MM_HINT_T0);
    std::size_t q = 0;
    for (; q + kQueries <= query_count; q += kQueries)
      four_rows_vnni<kQueries>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
    if (q < query_count) four_rows_vnni<1>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
  }
  for (; r < count; ++r) {
    for (std::size_t q = 0; q < query_count; ++q)
      dots[q * dots_stride + r] = one_row_vnni(codes + r * stride, stride, *queries[q]);
  }
}

__attribute__((target("avx2"))) bool sketch_uppers_avx2(const SketchedQuery& query, const double* dots,
                                                        const float* scales, const float* residuals,
                                                        std::size_t count, double cut, double* uppers) {
  const __m256d query_scale = _mm256_set1_pd(query.scale);
  const __m256d slack = _mm256_set1_pd(query.slack);
  const __m256d residual_factor = _mm256_set1_pd(query.residual_factor);
  const __m256d estimate_factor = _mm256_set1_pd(query.estimate_factor);
  const __m256d widening = _mm256_set1_pd(kBoundWidening);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d cuts = _mm256_set1_pd(cut);
  __m256d reached = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d estimate = _mm256_mul_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(scales + i)), query_scale),
                                           _mm256_loadu_pd(dots + i));
    const __m256d residual_term = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(residuals + i)), residual_factor);
    const __m256d estimate_term = _mm256_mul_pd(estimate_factor, _mm256_andnot_pd(sign, estimate));
    const __m256d bound = _mm256_mul_pd(_mm256_add_pd(_mm256_add_pd(slack, residual_term), estimate_term), widening);
    const __m256d upper = _mm256_add_pd(estimate, bound);
    _mm256_storeu_pd(uppers + i, upper);
    reached = _mm256_or_pd(reached, _mm256_cmp_pd(upper, cuts, _CMP_NLT_UQ));
  }
  const bool tail = sketch_uppers_one_by_one(query, dots, scales, residuals, i, count, cut, uppers);
  return _mm256_movemask_pd(reached) != 0 || tail;
}

}  // namespace tarnix::core
#endif

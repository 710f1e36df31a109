// AVX-512 with VNNI, on x86-64 (the 32-bit mode has eight vector registers, too few for
// the tile): a tile of four records by four queries, the queries' codes as bytes. Each
// step reads sixty-four codes of each of the four records, biased by 128 into unsigned
// bytes (c + 128 in [1, 255], which vpdpbusd takes as its unsigned operand), and
// multiply-adds them in fours with every query of the tile into sixteen int32 lanes, one
// instruction per record and query: the sum is k.c + 128 * sum(k), and the query's code
// sum takes the second term back off, exactly. The lanes of four records and a query are
// interleaved and added down to four totals; over a chunk of 8192 codes no sum leaves
// the int32 range (8192 * 255 * 127 < 2^31), and chunks add up in doubles. The upper
// bounds go eight records at a time, in the operations and order of
// sketch_uppers_one_by_one.
#include "core/sketch_kernels.hpp"

#if defined(__x86_64__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 intrinsics pass an "undefined" vector as the unused merge source of
// their masked builtins, which its flow analysis then reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

// Clang 18 and later also ask for 512-bit registers by name (AVX10 lets a processor have
// AVX-512's instructions on 256-bit registers only); GCC 12 does not know the name.
#if defined(__clang__) && __clang_major__ >= 18
#define TARNIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni,evex512")))
#else
#define TARNIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))
#endif

namespace tarnix::core {
namespace {

constexpr std::size_t kChunk = 8192;
constexpr std::size_t kRows = 4;
constexpr std::size_t kStep = 64;
constexpr std::size_t kAhead = 4096;  // as on the AVX2 path
// The stride is a multiple of 32: its last step may be half a register, read masked.
constexpr __mmask64 kHalfStep = 0xffffffffULL;

// Sixty-four record codes (or the first thirty-two, the rest zero), biased to unsigned bytes.
TARNIX_AVX512 inline __m512i biased(const std::int8_t* codes, __mmask64 mask) {
  return _mm512_xor_si512(_mm512_maskz_loadu_epi8(mask, codes), _mm512_set1_epi8(-128));
}

// A query's codes, masked likewise: where the record's lanes were left out, the query's
// are zero and their products vanish.
TARNIX_AVX512 inline __m512i query_bytes(const std::int8_t* query, __mmask64 mask) {
  return _mm512_maskz_loadu_epi8(mask, query);
}

// The four rows' totals of their sixteen lanes each, as four doubles (exact integers):
// the rows' lanes interleaved and added in pairs, then the 128-bit quarters added.
TARNIX_AVX512 inline __m256d four_totals(const __m512i* sums) {
  const __m512i rows01 = _mm512_add_epi32(_mm512_unpacklo_epi32(sums[0], sums[1]), _mm512_unpackhi_epi32(sums[0], sums[1]));
  const __m512i rows23 = _mm512_add_epi32(_mm512_unpacklo_epi32(sums[2], sums[3]), _mm512_unpackhi_epi32(sums[2], sums[3]));
  // Each 128-bit quarter now holds a partial sum of rows 0, 1, 2 and 3, in that order.
  const __m512i quarters =
      _mm512_add_epi32(_mm512_unpacklo_epi64(rows01, rows23), _mm512_unpackhi_epi64(rows01, rows23));
  const __m256i halves = _mm256_add_epi32(_mm512_castsi512_si256(quarters), _mm512_extracti64x4_epi64(quarters, 1));
  return _mm256_cvtepi32_pd(_mm_add_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1)));
}

// One step of the tile: codes [j, j + 64) of four rows, or the first half of them.
template <std::size_t kQueries>
TARNIX_AVX512 [[gnu::always_inline]] inline void tile_step(const std::int8_t* row, std::size_t stride,
                                                         const std::int8_t* const* bytes, std::size_t j,
                                                         __mmask64 mask, __m512i (&sums)[kQueries][kRows]) {
  const __m512i c[kRows] = {biased(row + j, mask), biased(row + stride + j, mask), biased(row + 2 * stride + j, mask),
                            biased(row + 3 * stride + j, mask)};
  for (std::size_t q = 0; q < kQueries; ++q) {
    const __m512i k = query_bytes(bytes[q] + j, mask);
    for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm512_dpbusd_epi32(sums[q][i], c[i], k);
  }
}

// Four rows against kQueries queries, their dots stored at dots[q * dots_stride + 0..3].
template <std::size_t kQueries>
TARNIX_AVX512 [[gnu::always_inline]] inline void four_rows(const std::int8_t* row, std::size_t stride,
                                                         const SketchedQuery* const* queries, double* dots,
                                                         std::size_t dots_stride) {
  const std::int8_t* bytes[kQueries];
  for (std::size_t q = 0; q < kQueries; ++q) bytes[q] = queries[q]->bytes.data();
  // The chunks' totals add up in the output, so that no register holds them across the loop.
  for (std::size_t first = 0; first < stride; first += kChunk) {
    const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
    __m512i sums[kQueries][kRows];
    for (std::size_t q = 0; q < kQueries; ++q)
      for (std::size_t i = 0; i < kRows; ++i) sums[q][i] = _mm512_setzero_si512();
    std::size_t j = first;
    for (; j + kStep <= end; j += kStep) tile_step<kQueries>(row, stride, bytes, j, ~__mmask64{0}, sums);
    if (j < end) tile_step<kQueries>(row, stride, bytes, j, kHalfStep, sums);
    // The first chunk starts from -128 * sum(k); every partial sum is an integer below 2^53.
    for (std::size_t q = 0; q < kQueries; ++q) {
      double* out = dots + q * dots_stride;
      const __m256d before = first == 0 ? _mm256_set1_pd(-128.0 * queries[q]->code_sum) : _mm256_loadu_pd(out);
      _mm256_storeu_pd(out, _mm256_add_pd(before, four_totals(sums[q])));
    }
  }
}

TARNIX_AVX512 double one_row(const std::int8_t* row, std::size_t stride, const SketchedQuery& query) {
  std::int64_t total = 0;
  for (std::size_t first = 0; first < stride; first += kChunk) {
    const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
    __m512i sums = _mm512_setzero_si512();
    for (std::size_t j = first; j < end; j += kStep) {
      const __mmask64 mask = j + kStep <= end ? ~__mmask64{0} : kHalfStep;
      sums = _mm512_dpbusd_epi32(sums, biased(row + j, mask), query_bytes(query.bytes.data() + j, mask));
    }
    total += _mm512_reduce_add_epi32(sums);
  }
  return static_cast<double>(total) - 128.0 * query.code_sum;
}

}  // namespace

TARNIX_AVX512 void sketch_dots_avx512(const std::int8_t* codes, std::size_t stride, std::size_t count,
                                      const SketchedQuery* const* queries, std::size_t query_count, double* dots,
                                      std::size_t dots_stride) {
  std::size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    const std::int8_t* row = codes + r * stride;
    for (std::size_t line = 0; line < kRows * stride; line += 64)
      _mm_prefetch(reinterpret_cast<const char*>(row + kAhead + line), _MM_HINT_T0);
    std::size_t q = 0;
    for (; q + 4 <= query_count; q += 4) four_rows<4>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
    if (q + 2 <= query_count) {
      four_rows<2>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
      q += 2;
    }
    if (q < query_count) four_rows<1>(row, stride, queries + q, dots + q * dots_stride + r, dots_stride);
  }
  for (; r < count; ++r) {
    for (std::size_t q = 0; q < query_count; ++q)
      dots[q * dots_stride + r] = one_row(codes + r * stride, stride, *queries[q]);
  }
}

TARNIX_AVX512 bool sketch_uppers_avx512(const SketchedQuery& query, const double* dots, const float* scales,
                                        const float* residuals, std::size_t count, double cut, double* uppers) {
  const __m512d query_scale = _mm512_set1_pd(query.scale);
  const __m512d slack = _mm512_set1_pd(query.slack);
  const __m512d residual_factor = _mm512_set1_pd(query.residual_factor);
  const __m512d estimate_factor = _mm512_set1_pd(query.estimate_factor);
  const __m512d widening = _mm512_set1_pd(kBoundWidening);
  const __m512d cuts = _mm512_set1_pd(cut);
  __mmask8 reached = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m512d estimate = _mm512_mul_pd(_mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(scales + i)), query_scale),
                                           _mm512_loadu_pd(dots + i));
    const __m512d residual_term = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(residuals + i)), residual_factor);
    const __m512d estimate_term = _mm512_mul_pd(estimate_factor, _mm512_abs_pd(estimate));
    const __m512d bound = _mm512_mul_pd(_mm512_add_pd(_mm512_add_pd(slack, residual_term), estimate_term), widening);
    const __m512d upper = _mm512_add_pd(estimate, bound);
    _mm512_storeu_pd(uppers + i, upper);
    reached |= _mm512_cmp_pd_mask(upper, cuts, _CMP_NLT_UQ);
  }
  const bool tail = sketch_uppers_one_by_one(query, dots, scales, residuals, i, count, cut, uppers);
  return reached != 0 || tail;
}

}  // namespace tarnix::core
#endif

// AVX2: thirty-two codes per step, widened to int16 and multiplied pairwise into eight
// int32 lanes, four records side by side so that each query load serves four rows. The
// four rows' lanes are summed together by horizontal adds; over a chunk of 512 codes no
// sum leaves the int32 range (512 * 32767 * 127 < 2^31), and chunks add up in doubles,
// exactly, as integers below 2^53.
#include "core/sketch_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kChunk = 512;
constexpr std::size_t kRows = 4;
// How far ahead of the rows being read their successors are fetched: the sums take
// longer per byte than a plain read, and the fetches keep the memory busy meanwhile.
constexpr std::size_t kAhead = 4096;

__attribute__((target("avx2"))) inline __m256i products(const std::int8_t* row, std::size_t j, __m256i q0,
                                                         __m256i q1) {
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
  const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j + 16));
  return _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepi8_epi16(b0), q0),
                          _mm256_madd_epi16(_mm256_cvtepi8_epi16(b1), q1));
}

// The four rows' totals of their eight lanes each, as four doubles (exact integers).
__attribute__((target("avx2"))) inline __m256d four_totals(__m256i s0, __m256i s1, __m256i s2, __m256i s3) {
  const __m256i pairs = _mm256_hadd_epi32(_mm256_hadd_epi32(s0, s1), _mm256_hadd_epi32(s2, s3));
  const __m128i sums = _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
  return _mm256_cvtepi32_pd(sums);
}

__attribute__((target("avx2"))) std::int64_t one_total(__m256i sums) {
  const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  const __m128i quarter = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4e));
  return _mm_cvtsi128_si32(_mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0xb1)));
}

}  // namespace

__attribute__((target("avx2"))) void sketch_dots_avx2(const std::int8_t* codes, std::size_t stride,
                                                      std::size_t count, const std::int16_t* query,
                                                      double* dots) {
  std::size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    const std::int8_t* row = codes + r * stride;
    for (std::size_t line = 0; line < kRows * stride; line += 64)
      _mm_prefetch(reinterpret_cast<const char*>(row + kAhead + line), _MM_HINT_T0);
    __m256d totals = _mm256_setzero_pd();
    for (std::size_t first = 0; first < stride; first += kChunk) {
      const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
      __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
      for (std::size_t j = first; j < end; j += 32) {
        const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j));
        const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j + 16));
        s0 = _mm256_add_epi32(s0, products(row, j, q0, q1));
        s1 = _mm256_add_epi32(s1, products(row + stride, j, q0, q1));
        s2 = _mm256_add_epi32(s2, products(row + 2 * stride, j, q0, q1));
        s3 = _mm256_add_epi32(s3, products(row + 3 * stride, j, q0, q1));
      }
      totals = _mm256_add_pd(totals, four_totals(s0, s1, s2, s3));
    }
    _mm256_storeu_pd(dots + r, totals);
  }
  for (; r < count; ++r) {
    const std::int8_t* row = codes + r * stride;
    std::int64_t total = 0;
    for (std::size_t first = 0; first < stride; first += kChunk) {
      const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
      __m256i sums = _mm256_setzero_si256();
      for (std::size_t j = first; j < end; j += 32) {
        const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j));
        const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j + 16));
        sums = _mm256_add_epi32(sums, products(row, j, q0, q1));
      }
      total += one_total(sums);
    }
    dots[r] = static_cast<double>(total);
  }
}

}  // namespace tarnix::core
#endif

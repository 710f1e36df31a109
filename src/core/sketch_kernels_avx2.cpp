// AVX2: thirty-two codes per step, widened to int16 and multiplied pairwise into eight
// int32 lanes, four records side by side so that each query load serves four rows. A
// lane sums an eighth of a chunk's products: chunks of 4096 codes stay within int32.
#include "core/sketch_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kRows = 4;

__attribute__((target("avx2"))) inline __m256i products(const std::int8_t* row, std::size_t j, __m256i q0,
                                                         __m256i q1) {
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
  const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j + 16));
  return _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepi8_epi16(b0), q0),
                          _mm256_madd_epi16(_mm256_cvtepi8_epi16(b1), q1));
}

__attribute__((target("avx2"))) inline std::int64_t lanes_sum(__m256i sums) {
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  std::int64_t total = 0;
  for (std::int32_t lane : lanes) total += lane;
  return total;
}

}  // namespace

__attribute__((target("avx2"))) void sketch_dots_avx2(const std::int8_t* codes, std::size_t stride,
                                                      std::size_t count, const std::int16_t* query,
                                                      std::int64_t* dots) {
  std::size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    const std::int8_t* row = codes + r * stride;
    std::int64_t totals[kRows] = {};
    for (std::size_t first = 0; first < stride; first += kChunk) {
      const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
      __m256i sums[kRows];
      for (__m256i& s : sums) s = _mm256_setzero_si256();
      for (std::size_t j = first; j < end; j += 32) {
        const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j));
        const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + j + 16));
        for (std::size_t i = 0; i < kRows; ++i) sums[i] = _mm256_add_epi32(sums[i], products(row + i * stride, j, q0, q1));
      }
      for (std::size_t i = 0; i < kRows; ++i) totals[i] += lanes_sum(sums[i]);
    }
    for (std::size_t i = 0; i < kRows; ++i) dots[r + i] = totals[i];
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
      total += lanes_sum(sums);
    }
    dots[r] = total;
  }
}

}  // namespace tarnix::core
#endif

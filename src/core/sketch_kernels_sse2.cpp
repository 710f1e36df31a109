// SSE2: sixteen codes per step, widened to int16 and multiplied pairwise into four int32
// lanes. Each lane takes two products per eight codes, so a lane sums a quarter of a
// chunk's products: chunks of 2048 codes stay within the int32 range.
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

}  // namespace

void sketch_dots_sse2(const std::int8_t* codes, std::size_t stride, std::size_t count, const std::int16_t* query,
                      double* dots) {
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* row = codes + r * stride;
    std::int64_t total = 0;
    for (std::size_t first = 0; first < stride; first += kChunk) {
      const std::size_t end = first + kChunk < stride ? first + kChunk : stride;
      __m128i sums = _mm_setzero_si128();
      for (std::size_t j = first; j < end; j += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
        // Each byte into the high half of a 16-bit lane, then shifted down with its sign.
        const __m128i low = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
        const __m128i high = _mm_srai_epi16(_mm_unpackhi_epi8(bytes, bytes), 8);
        const __m128i q0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query + j));
        const __m128i q1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query + j + 8));
        sums = _mm_add_epi32(sums, _mm_add_epi32(_mm_madd_epi16(low, q0), _mm_madd_epi16(high, q1)));
      }
      total += lanes_sum(sums);
    }
    dots[r] = static_cast<double>(total);
  }
}

}  // namespace tarnix::core
#endif

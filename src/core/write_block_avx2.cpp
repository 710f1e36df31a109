// AVX2: eight records by eight elements at a time, transposed in registers. The
// transposed registers are exactly what the lane-parallel norm adds, so the norms are
// summed on the way, each lane in its record's order, and the block is never read back.
// The block is written with streaming stores: it is read again only by a search, and
// going around the cache spares reading in the fresh lines before overwriting them.
#include "core/write_block.hpp"
#include "core/store.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tarnix::core {
namespace {

constexpr std::size_t kGroups = kBlockLanes / 8;

// Elements first..first+7 of eight records; out[k] holds element first+k of each, by lane.
__attribute__((target("avx2"))) inline void load_transposed(const float* const* records, std::size_t first,
                                                            __m256 out[8]) {
  __m256 r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(records[i] + first);
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  out[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  out[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  out[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  out[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  out[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  out[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  out[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  out[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

__attribute__((target("avx2"))) inline __m256 add_square(__m256 sum, __m256 x) {
  return _mm256_add_ps(sum, _mm256_mul_ps(x, x));
}

}  // namespace

__attribute__((target("avx2"))) void write_block_avx2(const float* const* records, std::size_t dimension,
                                                      float* block, float* norms) {
  __m256 sums[kGroups];
  for (std::size_t g = 0; g < kGroups; ++g) sums[g] = _mm256_set1_ps(-0.0f);
  std::size_t first = 0;
  for (; first + 8 <= dimension; first += 8) {
    // Two groups make one whole cache line of each of the eight block rows.
    for (std::size_t g = 0; g < kGroups; g += 2) {
      __m256 a[8], b[8];
      load_transposed(records + 8 * g, first, a);
      load_transposed(records + 8 * (g + 1), first, b);
      for (int k = 0; k < 8; ++k) {
        sums[g] = add_square(sums[g], a[k]);
        sums[g + 1] = add_square(sums[g + 1], b[k]);
        float* row = block + (first + k) * kBlockLanes + 8 * g;
        _mm256_stream_ps(row, a[k]);
        _mm256_stream_ps(row + 8, b[k]);
      }
    }
  }
  for (std::size_t j = first; j < dimension; ++j) {
    for (std::size_t g = 0; g < kGroups; ++g) {
      const float* const* r = records + 8 * g;
      const __m256 x = _mm256_setr_ps(r[0][j], r[1][j], r[2][j], r[3][j], r[4][j], r[5][j], r[6][j], r[7][j]);
      sums[g] = add_square(sums[g], x);
      _mm256_stream_ps(block + j * kBlockLanes + 8 * g, x);
    }
  }
  for (std::size_t g = 0; g < kGroups; ++g) _mm256_storeu_ps(norms + 8 * g, _mm256_sqrt_ps(sums[g]));
  // Streaming stores are weakly ordered: make them visible before the block is published.
  _mm_sfence();
}

}  // namespace tarnix::core
#endif

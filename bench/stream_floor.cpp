// The fastest this machine can read the bytes a search reads: the benchmark divides every
// search time by this one, so a ratio near 1 means the search is bound by memory, not by
// its arithmetic. Loaded by the benchmark through ctypes.
#include <immintrin.h>

#include <cstddef>
#include <thread>
#include <vector>

namespace {

// Eight independent sums so the loop waits on loads, not on the latency of one add.
__attribute__((target("avx2"))) float sum_avx2(const float* data, std::size_t count) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0, s4 = s0, s5 = s0, s6 = s0, s7 = s0;
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    s0 = _mm256_add_ps(s0, _mm256_loadu_ps(data + i));
    s1 = _mm256_add_ps(s1, _mm256_loadu_ps(data + i + 8));
    s2 = _mm256_add_ps(s2, _mm256_loadu_ps(data + i + 16));
    s3 = _mm256_add_ps(s3, _mm256_loadu_ps(data + i + 24));
    s4 = _mm256_add_ps(s4, _mm256_loadu_ps(data + i + 32));
    s5 = _mm256_add_ps(s5, _mm256_loadu_ps(data + i + 40));
    s6 = _mm256_add_ps(s6, _mm256_loadu_ps(data + i + 48));
    s7 = _mm256_add_ps(s7, _mm256_loadu_ps(data + i + 56));
  }
  __m256 all = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)),
                             _mm256_add_ps(_mm256_add_ps(s4, s5), _mm256_add_ps(s6, s7)));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, all);
  float total = 0.0f;
  for (float lane : lanes) total += lane;
  for (; i < count; ++i) total += data[i];
  return total;
}

float sum_plain(const float* data, std::size_t count) {
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    s0 += data[i];
    s1 += data[i + 1];
    s2 += data[i + 2];
    s3 += data[i + 3];
  }
  for (; i < count; ++i) s0 += data[i];
  return (s0 + s1) + (s2 + s3);
}

using Sum = float (*)(const float*, std::size_t);

Sum pick_sum() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? sum_avx2 : sum_plain;
}

const Sum sum = pick_sum();

}  // namespace

// The returned checksum keeps the compiler from dropping the reads.
extern "C" float tarnix_floor_read(const float* data, std::size_t count) {
  return sum(data, count);
}

// Starts and joins its threads on every call, as the store's parallel search does, so
// both pay the same start-up.
extern "C" float tarnix_floor_read_parallel(const float* data, std::size_t count,
                                            unsigned threads) {
  if (threads < 2) return sum(data, count);
  std::vector<float> partial(threads, 0.0f);
  std::vector<std::thread> workers;
  workers.reserve(threads);
  const std::size_t share = count / threads;
  for (unsigned t = 0; t < threads; ++t) {
    const std::size_t begin = t * share;
    const std::size_t length = t + 1 == threads ? count - begin : share;
    workers.emplace_back([&partial, data, t, begin, length] {
      partial[t] = sum(data + begin, length);
    });
  }
  for (std::thread& worker : workers) worker.join();
  float total = 0.0f;
  for (float value : partial) total += value;
  return total;
}

// Every block kernel this processor can run, and the scoring of the records still waiting
// for a block, give record for record the bits of the scalar kernel (NaN for NaN),
// whatever the dimension and wherever the store ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>  // std::ifstream
#include <limits>
#include <random>
#include <sstream>  // std::istringstream
#include <string>
#include <string_view>
#include <vector>

#include "core/kernels.hpp"
#include "core/cosine.hpp"
#include "core/store.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;

// Mostly normal values, with the cases that take the kernel off its usual road: zero
// vectors, squares that underflow or overflow, NaN, infinities and signed zeros.
Vec random_vector(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> roll(0, 39);
  Vec v(dim);
  const int kind = roll(rng);
  for (float& x : v) {
    x = normal(rng);
    if (kind == 0) x = 0.0f;
    if (kind == 1) x *= 1e-23f;
    if (kind == 2) x *= 1e20f;
  }
  if (dim > 0 && kind == 3) v[rng() % dim] = std::numeric_limits<float>::quiet_NaN();
  if (dim > 0 && kind == 4) v[rng() % dim] = std::numeric_limits<float>::infinity();
  if (dim > 0 && kind == 5) v[rng() % dim] = -0.0f;
  return v;
}

void expect_same_score(float got, float want, const char* path, std::size_t dim, std::size_t record) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << path << ", dimension " << dim << ", record " << record;
  } else {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
        << path << ", dimension " << dim << ", record " << record << ": " << got << " vs " << want;
  }
}

TEST(ScoreBlocks, EveryPathMatchesTheScalarKernel) {
  std::mt19937 rng(11);
  const std::size_t dims[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 130};
  const std::size_t counts[] = {1, 7, kBlockLanes - 1, kBlockLanes, kBlockLanes + 1, 2 * kBlockLanes + 9};
  for (std::size_t dim : dims) {
    for (std::size_t count : counts) {
      std::vector<StoredVector> records;
      for (std::size_t i = 0; i < count; ++i) records.push_back({random_vector(rng, dim), i});
      // Built at once, the store's blocks are in one piece, so one run covers them all.
      const Vectorstore store = create_store(static_cast<Size>(dim), records).take_value();
      for (int q = 0; q < 3; ++q) {
        const Vec query = random_vector(rng, dim);
        const float query_norm = std::sqrt(sum_of_squares(query));
        const std::size_t blocks = store.complete_blocks();
        ASSERT_EQ(blocks, count / kBlockLanes);
        if (blocks > 0) {
          ASSERT_EQ(store.contiguous_blocks_from(0), blocks);
          const BlockRun run{store.block(0), store.block_floats(), store.lane_norms(0), kBlockLanes,
                             blocks, dim};
          for (const Kernels* path : available_kernels()) {
            Vec scores(blocks * kBlockLanes, 42.0f);
            path->score_blocks(run, query.data(), query_norm, scores.data());
            for (std::size_t i = 0; i < scores.size(); ++i)
              expect_same_score(scores[i], cosine_similarity(query, records[i].vector), path->name, dim, i);
          }
        }
        // The records not yet in a block.
        const std::size_t waiting = count - blocks * kBlockLanes;
        Vec scores(waiting, 42.0f);
        row_scores(store.tail().data(), waiting, dim, query.data(), query_norm, scores.data());
        for (std::size_t i = 0; i < waiting; ++i) {
          const std::size_t record = blocks * kBlockLanes + i;
          expect_same_score(scores[i], cosine_similarity(query, records[record].vector), "rows", dim, record);
        }
      }
    }
  }
}

// The processor's features as Linux reports them: a witness that shares nothing with the
// cpuid reading under test (nor with __builtin_cpu_supports, which musl builds lack).
bool linux_reports(const std::string& feature) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      if (word == feature) return true;
    }
    return false;
  }
  return false;
}

TEST(ScoreBlocks, PathsAreOrderedAndNamed) {
  const auto paths = available_kernels();
  ASSERT_FALSE(paths.empty());
  EXPECT_STREQ(paths.front()->name, "scalar");
#if defined(__x86_64__) || defined(__i386__)
  // SSE2 is this build's baseline on x86.
  ASSERT_GE(paths.size(), 2u);
  EXPECT_STREQ(paths[1]->name, "sse2");
  const auto runs = [&paths](std::string_view name) {
    return std::any_of(paths.begin(), paths.end(), [name](const Kernels* k) { return k->name == name; });
  };
  EXPECT_EQ(runs("avx2"), linux_reports("avx2"));
  EXPECT_EQ(runs("avx-vnni"), linux_reports("avx2") && linux_reports("avx_vnni"));
#if defined(__x86_64__)
  EXPECT_EQ(runs("avx512-vnni"), linux_reports("avx2") && linux_reports("avx512f") && linux_reports("avx512bw") &&
                                     linux_reports("avx512vl") && linux_reports("avx512_vnni"));
#else
  EXPECT_FALSE(runs("avx512-vnni"));  // eight vector registers are too few for its tiles
#endif
  EXPECT_STREQ(paths.back()->name, runs("avx512-vnni") ? "avx512-vnni"
                                   : runs("avx-vnni")  ? "avx-vnni"
                                   : runs("avx2")      ? "avx2"
                                                       : "sse2");
#endif
}

}  // namespace
}  // namespace tarnix::core

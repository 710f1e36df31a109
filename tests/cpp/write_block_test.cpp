// Every block writer this processor can run lays the records out lane by lane and gives
// each lane the bits of its record's strict norm, whatever the dimension.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/block_storage.hpp"
#include "core/kernels.hpp"
#include "core/cosine.hpp"
#include "core/store.hpp"

namespace tarnix::core {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Rows of assorted magnitudes, with the values that can make a lane differ: NaN, infinity,
// signed zeros, squares that underflow or overflow.
std::vector<std::vector<float>> random_records(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> records(kBlockLanes, std::vector<float>(dim));
  for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
    const float scale = lane % 4 == 0 ? 1e-23f : lane % 4 == 1 ? 1e20f : 1.0f;
    for (float& x : records[lane]) x = normal(rng) * scale;
    if (dim == 0) continue;
    if (lane % 9 == 2) records[lane][rng() % dim] = std::numeric_limits<float>::quiet_NaN();
    if (lane % 9 == 3) records[lane][rng() % dim] = -std::numeric_limits<float>::infinity();
    if (lane % 9 == 4) records[lane][rng() % dim] = -0.0f;
  }
  return records;
}

TEST(WriteBlock, EveryPathTransposesAndTakesEachLanesStrictNorm) {
  std::mt19937 rng(3);
  for (std::size_t dim : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 64u, 100u, 130u}) {
    const auto records = random_records(rng, dim);
    const float* rows[kBlockLanes];
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) rows[lane] = records[lane].data();
    for (const Kernels* path : available_kernels()) {
      const BlockStorage storage((kBlockLanes * dim + 1) * sizeof(float));  // never empty: a real pointer
      float* const block = storage.as<float>();
      std::vector<float> norms(kBlockLanes, 42.0f);
      path->write_block(rows, dim, block, norms.data());
      for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
        for (std::size_t j = 0; j < dim; ++j)
          ASSERT_EQ(bits(block[j * kBlockLanes + lane]), bits(records[lane][j]))
              << path->name << ", dimension " << dim << ", lane " << lane << ", element " << j;
        const float want = std::sqrt(sum_of_squares(records[lane]));
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(norms[lane])) << path->name << ", dimension " << dim << ", lane " << lane;
        else
          EXPECT_EQ(bits(norms[lane]), bits(want)) << path->name << ", dimension " << dim << ", lane " << lane;
      }
    }
  }
}

}  // namespace
}  // namespace tarnix::core

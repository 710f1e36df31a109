// Every batch kernel this processor can run gives, for every (query, record) pair, the
// bits of the strict scalar kernel (NaN for NaN), whatever the number of queries, the
// dimension and the strides, and writes nothing outside its scores.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/cosine.hpp"
#include "core/kernels.hpp"
#include "core/store.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;

// Mostly normal values, with zero vectors, squares that underflow or overflow, NaN,
// infinities, signed zeros and small integers (exact ties).
Vec random_vector(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> roll(0, 29);
  Vec v(dim);
  const int kind = roll(rng);
  for (float& x : v) {
    x = normal(rng);
    if (kind == 0) x = 0.0f;
    if (kind == 1) x *= 1e-23f;
    if (kind == 2) x *= 1e20f;
    if (kind == 6) x = std::round(x);
  }
  if (dim > 0 && kind == 3) v[rng() % dim] = std::numeric_limits<float>::quiet_NaN();
  if (dim > 0 && kind == 4) v[rng() % dim] = -std::numeric_limits<float>::infinity();
  if (dim > 0 && kind == 5) v[rng() % dim] = -0.0f;
  return v;
}

bool same_bits(float got, float want) {
  if (std::isnan(want)) return std::isnan(got);
  return std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
}

constexpr float kUntouched = 42.0f;

TEST(ScoreBatches, EveryPathMatchesTheStrictKernel) {
  std::mt19937 rng(12);
  const std::size_t dims[] = {0, 1, 2, 3, 7, 9, 16, 17, 33, 130};
  const std::size_t query_counts[] = {1, 2, 3, 4, 5, 7, 9};
  for (std::size_t dim : dims) {
    // Three blocks and a few records in the tail, which the batch kernels never see.
    const std::size_t count = 3 * kBlockLanes + 5;
    std::vector<StoredVector> records;
    for (std::size_t i = 0; i < count; ++i) records.push_back({random_vector(rng, dim), i});
    const Vectorstore store = create_store(static_cast<Size>(dim), records).take_value();
    const std::size_t blocks = store.complete_blocks();
    ASSERT_EQ(store.contiguous_blocks_from(0), blocks);
    for (std::size_t queries : query_counts) {
      // Queries further apart than their dimension, and score rows longer than the run,
      // so that a kernel mixing up a stride is caught.
      const std::size_t stride = dim + 3;
      Vec values(queries * stride, std::numeric_limits<float>::quiet_NaN());
      Vec norms(queries);
      std::vector<Vec> rows;
      for (std::size_t q = 0; q < queries; ++q) {
        rows.push_back(q == 1 ? records[5].vector : random_vector(rng, dim));
        std::copy(rows[q].begin(), rows[q].end(), values.begin() + static_cast<std::ptrdiff_t>(q * stride));
        norms[q] = std::sqrt(sum_of_squares(rows[q]));
      }
      const QueryTile tile{values.data(), stride, norms.data(), queries};
      // From the second block on, so that a run that does not start at the store's first
      // block is covered.
      for (std::size_t first_block : {std::size_t{0}, std::size_t{1}}) {
        const std::size_t run_blocks = blocks - first_block;
        const BlockRun run{store.block(first_block), store.block_floats(), store.lane_norms(first_block),
                           kBlockLanes, run_blocks, dim};
        const std::size_t scores_stride = run_blocks * kBlockLanes + 11;
        for (const Kernels* path : available_kernels()) {
          Vec scores(queries * scores_stride, kUntouched);
          path->score_batches(run, tile, scores.data(), scores_stride);
          for (std::size_t q = 0; q < queries; ++q) {
            for (std::size_t r = 0; r < run_blocks * kBlockLanes; ++r) {
              const std::size_t record = first_block * kBlockLanes + r;
              const float want = cosine_similarity(rows[q], records[record].vector);
              ASSERT_TRUE(same_bits(scores[q * scores_stride + r], want))
                  << path->name << ": dimension " << dim << ", " << queries << " queries, query " << q
                  << ", record " << record << ": " << scores[q * scores_stride + r] << " vs " << want;
            }
            for (std::size_t r = run_blocks * kBlockLanes; r < scores_stride; ++r)
              ASSERT_EQ(scores[q * scores_stride + r], kUntouched) << path->name << " wrote past its run";
          }
        }
      }
    }
  }
}

// The batch kernel and the one-query kernel of each path agree bit for bit on the same
// run, which is what lets search_many promise search's results.
TEST(ScoreBatches, EveryPathMatchesItsOneQueryKernel) {
  std::mt19937 rng(13);
  const std::size_t dim = 19;
  std::vector<StoredVector> records;
  for (std::size_t i = 0; i < 2 * kBlockLanes; ++i) records.push_back({random_vector(rng, dim), i});
  const Vectorstore store = create_store(dim, records).take_value();
  const BlockRun run{store.block(0), store.block_floats(), store.lane_norms(0), kBlockLanes, 2, dim};
  const std::size_t queries = 6;
  Vec values, norms;
  for (std::size_t q = 0; q < queries; ++q) {
    const Vec row = random_vector(rng, dim);
    values.insert(values.end(), row.begin(), row.end());
    norms.push_back(std::sqrt(sum_of_squares(row)));
  }
  for (const Kernels* path : available_kernels()) {
    Vec batch(queries * 2 * kBlockLanes);
    path->score_batches(run, QueryTile{values.data(), dim, norms.data(), queries}, batch.data(), 2 * kBlockLanes);
    for (std::size_t q = 0; q < queries; ++q) {
      Vec one(2 * kBlockLanes);
      path->score_blocks(run, values.data() + q * dim, norms[q], one.data());
      for (std::size_t r = 0; r < one.size(); ++r)
        ASSERT_TRUE(same_bits(batch[q * 2 * kBlockLanes + r], one[r])) << path->name << ", query " << q << ", record " << r;
    }
  }
}

}  // namespace
}  // namespace tarnix::core

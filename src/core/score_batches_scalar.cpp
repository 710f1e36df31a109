// The portable path: plain C++, the same tiles as the SIMD paths, one accumulator per
// (query, lane) pair.
#include "core/cosine.hpp"
#include "core/score_batches.hpp"
#include "core/store.hpp"

namespace tarnix::core {
namespace {

constexpr std::size_t kTileLanes = 16;
constexpr std::size_t kTileQueries = 4;

// kQueries queries against lanes [first, first + kTileLanes) of one block.
template <std::size_t kQueries>
void score_tile(const float* block, const float* lane_norms, std::size_t first, std::size_t dimension,
                const float* queries, std::size_t stride, const float* query_norms, float* scores,
                std::size_t scores_stride) {
  float sums[kQueries][kTileLanes];
  for (auto& row : sums)
    for (float& sum : row) sum = -0.0f;
  for (std::size_t j = 0; j < dimension; ++j) {
    const float* row = block + j * kBlockLanes + first;
    for (std::size_t q = 0; q < kQueries; ++q) {
      const float x = queries[q * stride + j];
      for (std::size_t lane = 0; lane < kTileLanes; ++lane) sums[q][lane] = sums[q][lane] + x * row[lane];
    }
  }
  for (std::size_t q = 0; q < kQueries; ++q) {
    for (std::size_t lane = 0; lane < kTileLanes; ++lane)
      scores[q * scores_stride + first + lane] = cosine_from_norms(sums[q][lane], query_norms[q], lane_norms[first + lane]);
  }
}

template <std::size_t kQueries>
void score_block(const float* block, const float* lane_norms, std::size_t dimension, const float* queries,
                 std::size_t stride, const float* query_norms, float* scores, std::size_t scores_stride) {
  for (std::size_t first = 0; first < kBlockLanes; first += kTileLanes)
    score_tile<kQueries>(block, lane_norms, first, dimension, queries, stride, query_norms, scores, scores_stride);
}

}  // namespace

void score_batches_scalar(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride) {
  for (std::size_t b = 0; b < run.block_count; ++b) {
    const float* block = run.blocks + b * run.stride;
    const float* norms = run.norms + b * run.norms_stride;
    float* out = scores + b * kBlockLanes;
    std::size_t q = 0;
    for (; q + kTileQueries <= queries.count; q += kTileQueries)
      score_block<kTileQueries>(block, norms, run.dimension, queries.values + q * queries.stride, queries.stride,
                                queries.norms + q, out + q * scores_stride, scores_stride);
    for (; q < queries.count; ++q)
      score_block<1>(block, norms, run.dimension, queries.values + q * queries.stride, queries.stride,
                     queries.norms + q, out + q * scores_stride, scores_stride);
  }
}

}  // namespace tarnix::core

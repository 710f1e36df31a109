// The portable path: plain C++, tiles of four queries by sixteen lanes, one accumulator
// per (query, lane) pair.
#include "core/cosine.hpp"
#include "core/batch_tiles.hpp"
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

}  // namespace

void score_batches_scalar(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride) {
  score_batches_in_tiles<kTileQueries, kTileLanes>(
      run, queries, scores, scores_stride, [](auto size, auto... tile) __attribute__((always_inline)) {
        score_tile<decltype(size)::value>(tile...);
      });
}

}  // namespace tarnix::core

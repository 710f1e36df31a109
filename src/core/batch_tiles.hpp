// The one loop that drives a path's register tiles over a run of blocks.
#pragma once

#include <cstddef>
#include <type_traits>  // std::integral_constant

#include "core/score_batches.hpp"
#include "core/store.hpp"

namespace tarnix::core {

template <std::size_t kQueries>
using TileQueries = std::integral_constant<std::size_t, kQueries>;

// Scores every query against every block of `run`, as ScoreBatches says, one tile at a
// time: `score_tile(TileQueries<k>{}, block, lane_norms, first, dimension, queries, stride,
// query_norms, scores, scores_stride)` is the path's tile of k queries by kTileLanes lanes
// from lane `first` on. Queries go kMostQueries at a time while that many remain, then in
// a tile of 2 and one of 1 as the rest needs. Every (query, lane) sum is its
// own, so the tiling never changes a bit. Always inlined, so that a path's driver is
// compiled for its own instruction set and its tiles inline into it.
template <std::size_t kMostQueries, std::size_t kTileLanes, class ScoreTile>
[[gnu::always_inline]] inline void score_batches_in_tiles(const BlockRun& run, const QueryTile& queries,
                                                          float* scores, std::size_t scores_stride,
                                                          const ScoreTile& score_tile) {
  static_assert(kMostQueries == 1 || kMostQueries == 2 || kMostQueries == 4, "tiles of 1, 2 or 4 queries");
  static_assert(kBlockLanes % kTileLanes == 0, "tiles that cover a block");
  for (std::size_t b = 0; b < run.block_count; ++b) {
    const float* block = run.blocks + b * run.stride;
    const float* norms = run.norms + b * run.norms_stride;
    float* out = scores + b * kBlockLanes;
    std::size_t q = 0;
    const auto tiles_of = [&](auto size) __attribute__((always_inline)) {
      for (std::size_t first = 0; first < kBlockLanes; first += kTileLanes)
        score_tile(size, block, norms, first, run.dimension, queries.values + q * queries.stride, queries.stride,
                   queries.norms + q, out + q * scores_stride, scores_stride);
      q += decltype(size)::value;
    };
    while (q + kMostQueries <= queries.count) tiles_of(TileQueries<kMostQueries>{});
    if constexpr (kMostQueries >= 4) {
      if (q + 2 <= queries.count) tiles_of(TileQueries<2>{});
    }
    if constexpr (kMostQueries >= 2) {
      if (q < queries.count) tiles_of(TileQueries<1>{});
    }
  }
}

}  // namespace tarnix::core

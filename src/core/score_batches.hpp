// Cosine scores of many queries against whole blocks of records. A block row is loaded
// once for several queries at a time (a register tile of queries × lanes), so every
// record read from memory serves many queries. Each (query, record) score is still one
// lane summing its products strictly left to right from -0.0, a multiply then an add,
// and formed as the one-query kernels form it: every path gives score_blocks' bits.
#pragma once

#include <cstddef>

#include "core/score_blocks.hpp"

namespace tarnix::core {

// Queries of one dimension (the run's), `stride` floats apart, each with its norm.
struct QueryTile {
  const float* values;
  std::size_t stride;
  const float* norms;
  std::size_t count;
};

// Writes the score of query q against record r of the run (r counts from the run's first
// lane, kBlockLanes per block) to scores[q * scores_stride + r].
using ScoreBatches = void (*)(const BlockRun& run, const QueryTile& queries, float* scores,
                              std::size_t scores_stride);

// Each path's implementation; the SIMD ones exist only where their instruction set can.
void score_batches_scalar(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride);
void score_batches_sse2(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride);
void score_batches_avx2(const BlockRun& run, const QueryTile& queries, float* scores, std::size_t scores_stride);

}  // namespace tarnix::core

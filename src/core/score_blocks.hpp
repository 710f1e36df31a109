// Cosine scores of one query against whole blocks of records, one lane per record. Each
// lane's dot product is a strict left-to-right float32 sum from -0.0 without fused
// multiply-add, and the score is formed from it as the scalar kernel forms it, so every
// instruction set gives the scalar kernel's bits. Only the number of records in flight
// differs between them.
#pragma once

#include <cstddef>

namespace tarnix::core {

// What a kernel reads: consecutive blocks, `stride` floats apart, each kBlockLanes *
// dimension floats of lane-interleaved rows as the store keeps them, and for each block
// its lanes' norms, `norms_stride` floats apart.
struct BlockRun {
  const float* blocks;
  std::size_t stride;
  const float* norms;
  std::size_t norms_stride;
  std::size_t block_count;
  std::size_t dimension;
};

// Writes kBlockLanes scores per block to scores, in record order.
using ScoreBlocks = void (*)(const BlockRun& run, const float* query, float query_norm, float* scores);

// Each path's implementation; the SIMD ones exist only where their instruction set can.
void score_blocks_scalar(const BlockRun& run, const float* query, float query_norm, float* scores);
void score_blocks_sse2(const BlockRun& run, const float* query, float query_norm, float* scores);
void score_blocks_avx2(const BlockRun& run, const float* query, float query_norm, float* scores);

}  // namespace tarnix::core

// The portable path: plain C++, one accumulator per lane.
#include "core/score_blocks.hpp"
#include "core/cosine.hpp"
#include "core/store.hpp"

namespace tarnix::core {

void score_blocks_scalar(const BlockRun& run, const float* query, float query_norm, float* scores) {
  for (std::size_t b = 0; b < run.block_count; ++b) {
    const float* block = run.blocks + b * run.stride;
    const float* norms = run.norms + b * run.norms_stride;
    float sums[kBlockLanes];
    for (float& sum : sums) sum = -0.0f;
    for (std::size_t j = 0; j < run.dimension; ++j) {
      const float q = query[j];
      for (std::size_t lane = 0; lane < kBlockLanes; ++lane) sums[lane] = sums[lane] + q * block[j * kBlockLanes + lane];
    }
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      const std::size_t at = b * kBlockLanes + lane;
      scores[at] = cosine_from_norms(sums[lane], query_norm, norms[lane]);
    }
  }
}

}  // namespace tarnix::core

// Writing a block: kBlockLanes records, given row by row, turned into the store's
// lane-interleaved block, with each lane's norm. Every path gives the same block and the
// norms of block_norms, bit for bit; they differ only in how many elements move at once.
#pragma once

#include <cstddef>

namespace tarnix::core {

// records[lane] is that lane's vector of `dimension` floats; block has room for
// kBlockLanes * dimension floats and is aligned to a cache line; norms for kBlockLanes.
using WriteBlock = void (*)(const float* const* records, std::size_t dimension, float* block, float* norms);

void write_block_scalar(const float* const* records, std::size_t dimension, float* block, float* norms);
void write_block_avx2(const float* const* records, std::size_t dimension, float* block, float* norms);

}  // namespace tarnix::core

// The portable path: the rows are transposed a few at a time, then the norms are taken
// from the written block.
#include "core/write_block.hpp"

#include <algorithm>

#include "core/cosine.hpp"
#include "core/store.hpp"

namespace tarnix::core {

void write_block_scalar(const float* const* records, std::size_t dimension, float* block, float* norms) {
  // A few rows at a time, so the rows being written stay in the first-level cache
  // while every record passes through them.
  constexpr std::size_t kRows = 16;
  for (std::size_t first_row = 0; first_row < dimension; first_row += kRows) {
    const std::size_t rows = std::min(kRows, dimension - first_row);
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      const float* record = records[lane];
      for (std::size_t j = first_row; j < first_row + rows; ++j) block[j * kBlockLanes + lane] = record[j];
    }
  }
  block_norms(block, kBlockLanes, dimension, norms);
}

}  // namespace tarnix::core

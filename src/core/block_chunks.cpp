// Growing the block chunks.
#include "core/block_chunks.hpp"

#include <algorithm>
#include <new>      // std::bad_alloc

namespace tarnix::core {
namespace {

// Chunks double with the store up to this size, then stay at it: large enough that a
// search crosses few chunk boundaries, small enough that the last chunk's unused
// part stays small beside the store.
constexpr std::size_t kLargestChunkBytes = std::size_t{64} << 20;

}  // namespace

void BlockChunks::reserve(std::size_t blocks) {
  if (blocks > capacity()) add_chunk(blocks - capacity());
}

void BlockChunks::make_room() {
  if (size_ < capacity()) return;
  const std::size_t block_bytes = block_floats_ * sizeof(float);
  const std::size_t largest = block_bytes == 0 ? size_ + 1 : std::max<std::size_t>(1, kLargestChunkBytes / block_bytes);
  add_chunk(std::clamp<std::size_t>(size_, 1, largest));
}

float* BlockChunks::add_block() {
  const Chunk& chunk = chunks_.back();
  float* block = chunk.storage.get() + (size_ - chunk.first_block) * block_floats_;
  ++size_;
  return block;
}

void BlockChunks::add_chunk(std::size_t blocks) {
  if (block_floats_ != 0 && blocks > static_cast<std::size_t>(-1) / sizeof(float) / block_floats_)
    throw std::bad_alloc();
  if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.size()));
  BlockStorage storage(blocks * block_floats_);
  chunks_.push_back(Chunk{std::move(storage), capacity(), blocks});  // cannot throw: room was made
}

const BlockChunks::Chunk& BlockChunks::chunk_of(std::size_t index) const {
  // The last chunk whose first block is at or before index.
  auto after = std::upper_bound(chunks_.begin(), chunks_.end(), index,
                                [](std::size_t i, const Chunk& chunk) { return i < chunk.first_block; });
  return *(after - 1);
}

const float* BlockChunks::block(std::size_t index) const {
  const Chunk& chunk = chunk_of(index);
  return chunk.storage.get() + (index - chunk.first_block) * block_floats_;
}

std::size_t BlockChunks::contiguous_from(std::size_t index) const {
  if (index >= size_) return 0;
  const Chunk& chunk = chunk_of(index);
  return std::min(chunk.first_block + chunk.capacity, size_) - index;
}

}  // namespace tarnix::core

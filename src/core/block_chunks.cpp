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

template <class T>
void BlockChunks<T>::reserve(std::size_t blocks) {
  if (blocks > capacity()) add_chunk(blocks - capacity());
}

template <class T>
void BlockChunks<T>::make_room() {
  if (size_ < capacity()) return;
  const std::size_t block_bytes = block_elements_ * sizeof(T);
  const std::size_t largest = block_bytes == 0 ? size_ + 1 : std::max<std::size_t>(1, kLargestChunkBytes / block_bytes);
  add_chunk(std::clamp<std::size_t>(size_, 1, largest));
}

template <class T>
T* BlockChunks<T>::add_block() {
  // The chunk that holds block size_, which need not be the last: reserve adds a chunk
  // after one that may still have room. Never an adopted one: an adopted chunk is full,
  // and make_room or reserve added a chunk after it.
  const Chunk& chunk = chunk_of(size_);
  T* block = chunk.storage.template as<T>() + (size_ - chunk.first_block) * block_elements_;
  ++size_;
  return block;
}

template <class T>
T* BlockChunks<T>::add_blocks(std::size_t blocks) {
  if (blocks == 0) return nullptr;
  add_chunk(blocks);
  size_ = blocks;
  return chunks_.back().storage.template as<T>();
}

template <class T>
void BlockChunks<T>::adopt(const T* blocks, std::size_t count) {
  if (count == 0) return;
  chunks_.reserve(8);
  chunks_.push_back(Chunk{BlockStorage{}, blocks, 0, count});
  size_ = count;
}

template <class T>
void BlockChunks<T>::add_chunk(std::size_t blocks) {
  if (block_elements_ != 0 && blocks > static_cast<std::size_t>(-1) / sizeof(T) / block_elements_)
    throw std::bad_alloc();
  if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.size()));
  BlockStorage storage(blocks * block_elements_ * sizeof(T));
  const T* data = storage.template as<T>();
  chunks_.push_back(Chunk{std::move(storage), data, capacity(), blocks});  // cannot throw: room was made
}

template <class T>
const typename BlockChunks<T>::Chunk& BlockChunks<T>::chunk_of(std::size_t index) const {
  // The last chunk whose first block is at or before index.
  auto after = std::upper_bound(chunks_.begin(), chunks_.end(), index,
                                [](std::size_t i, const Chunk& chunk) { return i < chunk.first_block; });
  return *(after - 1);
}

template <class T>
const T* BlockChunks<T>::block(std::size_t index) const {
  const Chunk& chunk = chunk_of(index);
  return chunk.data + (index - chunk.first_block) * block_elements_;
}

template <class T>
std::size_t BlockChunks<T>::contiguous_from(std::size_t index) const {
  if (index >= size_) return 0;
  const Chunk& chunk = chunk_of(index);
  return std::min(chunk.first_block + chunk.capacity, size_) - index;
}

template class BlockChunks<float>;
template class BlockChunks<std::uint64_t>;

}  // namespace tarnix::core

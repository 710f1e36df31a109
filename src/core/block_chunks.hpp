// The store's blocks, kept in chunks that are each one allocation: growing never moves or
// copies a filled block (which would touch every page of the store again and, for a
// moment, need twice its memory), and the part of a chunk not reached yet is never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/block_storage.hpp"

namespace tarnix::core {

// Blocks of `block_elements` elements of type T each (floats of vectors and norms, or ids).
template <class T>
class BlockChunks {
 public:
  explicit BlockChunks(std::size_t block_elements) : block_elements_(block_elements) {}

  std::size_t size() const { return size_; }
  std::size_t block_elements() const { return block_elements_; }

  // Room for `blocks` blocks in all, in one new chunk if more is needed.
  void reserve(std::size_t blocks);
  // Room for one more block; on failure nothing changes.
  void make_room();
  // Appends a block, left for the caller to fill, and returns it. Needs the room
  // make_room() made, and then cannot fail.
  T* add_block();
  // On an empty instance: appends `blocks` blocks in one piece of memory, left for the
  // caller to fill, and returns the first; std::bad_alloc leaves it empty.
  T* add_blocks(std::size_t blocks);
  // On an empty instance: takes `blocks` filled blocks that stay where they are, in memory
  // the caller keeps alive and unchanged as long as this instance; later blocks go to
  // chunks of their own, so these are never written.
  void adopt(const T* blocks, std::size_t count);

  const T* block(std::size_t index) const;
  // How many blocks in use, from `index` on, lie in one piece of memory.
  std::size_t contiguous_from(std::size_t index) const;

 private:
  struct Chunk {
    BlockStorage storage;  // empty for adopted blocks
    const T* data;
    std::size_t first_block;
    std::size_t capacity;
  };
  std::size_t capacity() const { return chunks_.empty() ? 0 : chunks_.back().first_block + chunks_.back().capacity; }
  void add_chunk(std::size_t blocks);
  const Chunk& chunk_of(std::size_t index) const;

  std::size_t block_elements_;
  std::size_t size_ = 0;
  std::vector<Chunk> chunks_;
};

extern template class BlockChunks<float>;
extern template class BlockChunks<std::uint64_t>;

}  // namespace tarnix::core

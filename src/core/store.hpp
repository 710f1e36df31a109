// The vector store: records of one fixed dimension, kept in the order they arrived.
#pragma once

#include <algorithm>  // std::min
#include <cstddef>    // std::size_t
#include <cstdint>    // std::uint32_t, std::uint64_t
#include <memory>     // std::shared_ptr, std::unique_ptr
#include <span>
#include <string>
#include <vector>

#include "core/block_chunks.hpp"
#include "core/default_init_allocator.hpp"
#include "core/sketch.hpp"
#include "base/expected.hpp"

namespace tarnix::core {

// The unsigned size of the Python surface (dimensions, top_k, thread counts):
// 32 bits on every platform, so that a 64-bit build behaves like the 32-bit target.
using Size = std::uint32_t;

// Every failure of the core is a length that does not match a dimension;
// the boundary raises it as ValueError with this text.
struct DimensionError {
  std::string message;
};

template <class T>
using CoreResult = base::Expected<T, DimensionError>;

// Records live in blocks of kBlockLanes, stored lane-interleaved: element j of the
// record in lane l sits at block[j * kBlockLanes + l]. A search scores a block with one
// SIMD lane per record, each lane summing its own record strictly left to right, reading
// the blocks as one sequential stream. Beside each block, in chunks of their own, lie its
// lanes' norms (computed when the block is written, all lanes at once) and ids. Chunks
// are never moved, so growing the store copies nothing and leaves nothing behind.
// Records that do not fill a block yet wait in the tail, one after another: written
// straight into a block, a record would touch one cache line per element, so a block is
// written once, when its last record has arrived in the tail.
inline constexpr std::size_t kBlockLanes = 64;

class Vectorstore {
 public:
  explicit Vectorstore(Size vector_size);

  // What inserting a vector of this length reports when it is not vector_size.
  DimensionError wrong_length(std::size_t length) const;

  // Appends a record; on failure (a wrong length, or no memory) the store is unchanged.
  CoreResult<base::Done> insert(std::span<const float> vector, std::uint64_t id);

  // As insert, for a vector of `length` floats that `write(float* room)` writes straight
  // into the store, sparing a copy; write must not fail. It runs only once the length
  // has been checked and the room made.
  template <class Write>
  CoreResult<base::Done> insert_written(std::size_t length, std::uint64_t id, const Write& write) {
    if (length != vector_size_) return base::fail(wrong_length(length));
    write(make_room());
    commit(id);
    return base::Done{};
  }

  // Complete blocks for a store being loaded, which is still empty: room for `count` of
  // them, for the caller to fill (floats, norms and ids as block(), lane_norms() and
  // block_ids() show them); std::bad_alloc leaves the store empty.
  struct BlockRoom {
    float* blocks;
    float* norms;
    std::uint64_t* ids;
  };
  BlockRoom add_blocks(std::size_t count);
  // The same, read in place from memory that `owner` keeps alive and unchanged (a file
  // mapping) as long as the store lives.
  void adopt_blocks(std::shared_ptr<const void> owner, const float* blocks, const float* norms,
                    const std::uint64_t* ids, std::size_t count);
  // Appends ids.size() records in order, record i with id ids[i]: `write(first, count,
  // room)` writes the vectors of records first .. first + count - 1, one after another,
  // into room for count * vector_size floats, and must not fail. Every vector's length
  // is the caller's to check. All the memory is made before the store changes, so on
  // std::bad_alloc it is as it was; the records are then those insert would have made.
  template <class Write>
  void insert_runs(std::span<const std::uint64_t> ids, const Write& write) {
    make_room_for(ids.size());
    std::size_t first = 0;
    while (first < ids.size()) {
      const std::size_t count = std::min(ids.size() - first, kBlockLanes - tail_ids_.size());
      const std::size_t end = tail_.size();
      tail_.resize(end + count * vector_size_);  // cannot throw: the room is there
      write(first, count, tail_.data() + end);
      sketch_tail_rows(end, count);
      tail_ids_.insert(tail_ids_.end(), ids.begin() + first, ids.begin() + first + count);
      first += count;
      if (tail_ids_.size() == kBlockLanes) write_tail_block();
    }
  }

  // The records in insertion order, copied out: size() * vector_size() floats, row by
  // row, and size() ids.
  void copy_vectors(float* out) const;
  void copy_ids(std::uint64_t* out) const;

  Size vector_size() const { return vector_size_; }
  std::size_t size() const { return complete_blocks() * kBlockLanes + tail_ids_.size(); }
  std::uint64_t id(std::size_t record) const;

  // The blocks, all complete. Block `index` starts at block(index) and is followed in
  // memory by the next, block_floats() floats further on, for contiguous_blocks_from(index)
  // blocks; the same holds for their lanes' norms, which start at lane_norms(index), the
  // next block's kBlockLanes floats further on.
  std::size_t complete_blocks() const { return blocks_.size(); }
  const float* block(std::size_t index) const { return blocks_.block(index); }
  std::size_t block_floats() const { return blocks_.block_elements(); }
  const float* lane_norms(std::size_t index) const { return norms_.block(index); }
  const std::uint64_t* block_ids(std::size_t index) const { return ids_.block(index); }
  std::size_t contiguous_blocks_from(std::size_t index) const {
    return std::min(blocks_.contiguous_from(index), norms_.contiguous_from(index));
  }
  // The records after the last block, each vector_size floats, one after another.
  std::span<const float> tail() const { return tail_; }

  // The sketch of every record (sketch.hpp), or null. Built on request, it is kept
  // current by every insert until dropped; building one that exists does nothing.
  void build_sketch();
  void drop_sketch() { sketch_.reset(); }
  const Sketch* sketch() const { return sketch_.get(); }

 private:
  // Room for one more vector at the end of the tail. Every step that can run out of
  // memory is taken here, before the store changes, so a failed insert leaves it as it was.
  float* make_room();
  // Counts the vector written into that room as a record; a full tail becomes a block.
  void commit(std::uint64_t id);
  // Room for `records` more, blocks and tail, so that insert_runs cannot run out of memory.
  void make_room_for(std::size_t records);
  // Adds the tail's `count` rows from float `start` on to the sketch, if there is one.
  void sketch_tail_rows(std::size_t start, std::size_t count) noexcept;
  // The full tail becomes a block.
  void write_tail_block();

  Size vector_size_;
  // What keeps adopted blocks readable; declared first so that it outlives the chunks.
  std::shared_ptr<const void> block_owner_;
  BlockChunks<float> blocks_;
  BlockChunks<float> norms_;  // kBlockLanes per block
  BlockChunks<std::uint64_t> ids_;  // kBlockLanes per block
  // Grown without zeroing: every float is written before it is read.
  std::vector<float, DefaultInitAllocator<float>> tail_;
  std::vector<std::uint64_t> tail_ids_;
  std::unique_ptr<Sketch> sketch_;
};

}  // namespace tarnix::core

// Building the store and growing it one record at a time.
#include "core/store.hpp"

#include <algorithm>  // std::copy
#include <new>      // std::bad_alloc

#include "core/growth.hpp"
#include "core/kernels.hpp"

namespace tarnix::core {
namespace {

// Whether a block of records of this dimension fits the address space. Only a 32-bit
// build has dimensions where it does not (above 16,777,215): records of such a dimension
// still wait in the tail, where fewer than a block of them can fit in memory, and only
// forming a block of them runs out of memory.
bool block_fits(Size vector_size) {
  return vector_size <= static_cast<std::size_t>(-1) / sizeof(float) / kBlockLanes;
}

std::size_t block_floats_for(Size vector_size) {
  return block_fits(vector_size) ? kBlockLanes * vector_size : 0;  // 0: no block is ever formed
}

DimensionError wrong_vector_length(std::size_t length, Size vector_size) {
  return {"vector has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

}  // namespace

Vectorstore::Vectorstore(Size vector_size)
    : vector_size_(vector_size),
      blocks_(block_floats_for(vector_size)),
      norms_(kBlockLanes),
      ids_(kBlockLanes) {}

DimensionError Vectorstore::wrong_length(std::size_t length) const {
  return wrong_vector_length(length, vector_size_);
}

CoreResult<base::Done> Vectorstore::insert(std::span<const float> vector, std::uint64_t id) {
  return insert_written(vector.size(), id, [&](float* room) { std::copy(vector.begin(), vector.end(), room); });
}

float* Vectorstore::make_room() {
  if (tail_ids_.size() + 1 == kBlockLanes) {
    if (!block_fits(vector_size_)) throw std::bad_alloc();
    blocks_.make_room();
    norms_.make_room();
    ids_.make_room();
  }
  grow_for(tail_, vector_size_);
  grow_for(tail_ids_, 1);
  if (sketch_) sketch_->make_room();
  const std::size_t end = tail_.size();
  tail_.resize(end + vector_size_);  // cannot throw: the room is there
  return tail_.data() + end;
}

void Vectorstore::commit(std::uint64_t id) {
  if (sketch_) sketch_->append(tail_.data() + tail_ids_.size() * vector_size_);
  tail_ids_.push_back(id);  // cannot throw: the room is there
  if (tail_ids_.size() == kBlockLanes) write_tail_block();
}

void Vectorstore::make_room_for(std::size_t records) {
  const std::size_t waiting = tail_ids_.size();
  if (records > static_cast<std::size_t>(-1) - waiting) throw std::bad_alloc();
  const std::size_t new_blocks = (waiting + records) / kBlockLanes;
  if (new_blocks > 0) {
    if (!block_fits(vector_size_)) throw std::bad_alloc();
    blocks_.reserve(complete_blocks() + new_blocks);
    norms_.reserve(complete_blocks() + new_blocks);
    ids_.reserve(complete_blocks() + new_blocks);
  }
  // The tail never holds more than a block's records; with no block formed, it holds them all.
  const std::size_t tail_records = new_blocks > 0 ? kBlockLanes : waiting + records;
  if (vector_size_ != 0 && tail_records > tail_.max_size() / vector_size_) throw std::bad_alloc();
  tail_.reserve(tail_records * vector_size_);
  tail_ids_.reserve(tail_records);
  if (sketch_) sketch_->reserve(size() + records);
}

void Vectorstore::sketch_tail_rows(std::size_t start, std::size_t count) noexcept {
  if (!sketch_) return;
  for (std::size_t row = 0; row < count; ++row) sketch_->append(tail_.data() + start + row * vector_size_);
}

void Vectorstore::write_tail_block() {
  const float* records[kBlockLanes];
  for (std::size_t lane = 0; lane < kBlockLanes; ++lane) records[lane] = tail_.data() + lane * vector_size_;
  active_kernels().write_block(records, vector_size_, blocks_.add_block(), norms_.add_block());
  std::copy(tail_ids_.begin(), tail_ids_.end(), ids_.add_block());
  tail_.clear();
  tail_ids_.clear();
}

Vectorstore::BlockRoom Vectorstore::add_blocks(std::size_t count) {
  if (count > 0 && !block_fits(vector_size_)) throw std::bad_alloc();
  BlockChunks<float> blocks(block_floats_for(vector_size_));
  BlockChunks<float> norms(kBlockLanes);
  BlockChunks<std::uint64_t> ids(kBlockLanes);
  const BlockRoom room{blocks.add_blocks(count), norms.add_blocks(count), ids.add_blocks(count)};
  // Nothing above changed the store; nothing below can fail.
  blocks_ = std::move(blocks);
  norms_ = std::move(norms);
  ids_ = std::move(ids);
  return room;
}

void Vectorstore::adopt_blocks(std::shared_ptr<const void> owner, const float* blocks, const float* norms,
                               const std::uint64_t* ids, std::size_t count) {
  block_owner_ = std::move(owner);
  blocks_.adopt(blocks, count);
  norms_.adopt(norms, count);
  ids_.adopt(ids, count);
}

void Vectorstore::copy_vectors(float* out) const {
  const std::size_t dimension = vector_size_;
  for (std::size_t b = 0; b < complete_blocks(); ++b) {
    // A block (kBlockLanes * dimension floats) fits the cache for every dimension worth
    // copying fast, so it is read in order and written row by row, strided.
    const float* block = blocks_.block(b);
    float* rows = out + b * kBlockLanes * dimension;
    for (std::size_t j = 0; j < dimension; ++j) {
      for (std::size_t lane = 0; lane < kBlockLanes; ++lane) rows[lane * dimension + j] = block[j * kBlockLanes + lane];
    }
  }
  std::copy(tail_.begin(), tail_.end(), out + complete_blocks() * kBlockLanes * dimension);
}

void Vectorstore::copy_ids(std::uint64_t* out) const {
  for (std::size_t b = 0; b < complete_blocks(); ++b) {
    const std::uint64_t* block = ids_.block(b);
    std::copy(block, block + kBlockLanes, out + b * kBlockLanes);
  }
  std::copy(tail_ids_.begin(), tail_ids_.end(), out + complete_blocks() * kBlockLanes);
}

void Vectorstore::build_sketch() {
  if (sketch_) return;
  auto sketch = std::make_unique<Sketch>(vector_size_);
  sketch->reserve(size());
  // A block's records are gathered from their lanes one at a time.
  std::vector<float> record(vector_size_);
  for (std::size_t index = 0; index < complete_blocks(); ++index) {
    const float* block = blocks_.block(index);
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      for (std::size_t j = 0; j < vector_size_; ++j) record[j] = block[j * kBlockLanes + lane];
      sketch->append(record.data());
    }
  }
  for (std::size_t row = 0; row < tail_ids_.size(); ++row) sketch->append(tail_.data() + row * vector_size_);
  sketch_ = std::move(sketch);
}

std::uint64_t Vectorstore::id(std::size_t record) const {
  const std::size_t blocked = complete_blocks() * kBlockLanes;
  if (record >= blocked) return tail_ids_[record - blocked];
  return ids_.block(record / kBlockLanes)[record % kBlockLanes];
}

}  // namespace tarnix::core

// Building the store and growing it one record at a time.
#include "core/store.hpp"

#include <algorithm>  // std::max
#include <new>        // std::bad_alloc

#include "core/kernel.hpp"

namespace tarnix::core {
namespace {

// Room for one more element, growing geometrically. Every way of running out of room
// is std::bad_alloc, which the boundary reports as MemoryError.
template <class Buffer>
void make_room(Buffer& buffer, std::size_t elements) {
  const std::size_t size = buffer.size();
  if (elements > buffer.max_size() - size) throw std::bad_alloc();
  if (size + elements <= buffer.capacity()) return;
  const std::size_t doubled = size <= buffer.max_size() / 2 ? 2 * size : buffer.max_size();
  buffer.reserve(std::max(doubled, size + elements));
}

// A block of a dimension this large would not fit the address space (only possible on a
// 32-bit build); the store is made, and adding a record to it runs out of memory.
std::size_t block_floats_for(Size vector_size) {
  if (vector_size > static_cast<std::size_t>(-1) / sizeof(float) / kBlockLanes) return 0;
  return kBlockLanes * vector_size;
}

DimensionError wrong_vector_length(std::size_t length, Size vector_size) {
  return {"vector has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

}  // namespace

Vectorstore::Vectorstore(Size vector_size) : vector_size_(vector_size), blocks_(block_floats_for(vector_size)) {}

CoreResult<Vectorstore> Vectorstore::create(Size vector_size, const std::vector<StoredVector>& records) {
  for (const StoredVector& record : records) {
    if (record.vector.size() != vector_size)
      return fail(wrong_vector_length(record.vector.size(), vector_size));
  }
  Vectorstore store(vector_size);
  // The count is known: one allocation per buffer, each of its final size.
  const std::size_t blocks = (records.size() + kBlockLanes - 1) / kBlockLanes;
  store.blocks_.reserve(blocks);
  store.ids_.reserve(records.size());
  store.norms_.reserve(records.size() / kBlockLanes * kBlockLanes);
  for (const StoredVector& record : records) store.append(record.vector, record.id);
  return store;
}

CoreResult<Done> Vectorstore::insert(std::span<const float> vector, std::uint64_t id) {
  if (vector.size() != vector_size_) return fail(wrong_vector_length(vector.size(), vector_size_));
  append(vector, id);
  return Done{};
}

void Vectorstore::append(std::span<const float> vector, std::uint64_t id) {
  // Every step that can run out of memory comes before the first that changes the
  // store, so a failed append leaves it as it was.
  const std::size_t record = size();
  const std::size_t lane = record % kBlockLanes;
  if (blocks_.block_floats() == 0 && vector_size_ != 0) throw std::bad_alloc();  // see block_floats_for
  make_room(ids_, 1);
  const bool completes_block = lane == kBlockLanes - 1;
  if (completes_block) make_room(norms_, kBlockLanes);
  float* block = lane == 0 ? blocks_.add_block() : blocks_.last_block();  // the last step that can fail
  for (std::size_t j = 0; j < vector.size(); ++j) block[j * kBlockLanes + lane] = vector[j];
  ids_.push_back(id);
  if (completes_block) {
    norms_.resize(norms_.size() + kBlockLanes);
    block_norms(block, kBlockLanes, vector_size_, norms_.data() + record + 1 - kBlockLanes);
  }
}

void Vectorstore::partial_block_norms(float (&norms)[kBlockLanes]) const {
  const std::size_t block = complete_blocks();
  if (block < blocks_.size()) {
    block_norms(blocks_.block(block), kBlockLanes, vector_size_, norms);
  } else {
    for (float& norm : norms) norm = 0.0f;
  }
}

std::vector<float> Vectorstore::vector(std::size_t record) const {
  const float* block = blocks_.block(record / kBlockLanes);
  std::vector<float> out(vector_size_);
  for (std::size_t j = 0; j < out.size(); ++j) out[j] = block[j * kBlockLanes + record % kBlockLanes];
  return out;
}

}  // namespace tarnix::core

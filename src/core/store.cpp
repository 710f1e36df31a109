// Building the store and growing it one record at a time.
#include "core/store.hpp"

#include <algorithm>  // std::max
#include <cstring>    // std::memcpy
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

Vectorstore::Vectorstore(Size vector_size)
    : vector_size_(vector_size),
      blocks_(block_floats_for(vector_size)),
      norms_(kBlockLanes),
      ids_(kBlockLanes * sizeof(std::uint64_t) / sizeof(float)) {}

CoreResult<Vectorstore> Vectorstore::create(Size vector_size, const std::vector<StoredVector>& records) {
  for (const StoredVector& record : records) {
    if (record.vector.size() != vector_size)
      return fail(wrong_vector_length(record.vector.size(), vector_size));
  }
  Vectorstore store(vector_size);
  // The count is known: one allocation per buffer, each of its final size.
  store.blocks_.reserve(records.size() / kBlockLanes);
  store.norms_.reserve(records.size() / kBlockLanes);
  store.ids_.reserve(records.size() / kBlockLanes);
  store.tail_.reserve(records.size() % kBlockLanes * vector_size);
  store.tail_ids_.reserve(records.size() % kBlockLanes);
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
  if (blocks_.block_floats() == 0 && vector_size_ != 0) throw std::bad_alloc();  // see block_floats_for
  if (tail_ids_.size() + 1 < kBlockLanes) {
    make_room(tail_, vector.size());
    make_room(tail_ids_, 1);
    tail_.insert(tail_.end(), vector.begin(), vector.end());
    tail_ids_.push_back(id);
    return;
  }
  blocks_.make_room();
  norms_.make_room();
  ids_.make_room();
  float* block = blocks_.add_block();
  write_block(block, vector);
  block_norms(block, kBlockLanes, vector_size_, norms_.add_block());
  float* ids = ids_.add_block();
  std::memcpy(ids, tail_ids_.data(), tail_ids_.size() * sizeof(std::uint64_t));
  std::memcpy(ids + 2 * tail_ids_.size(), &id, sizeof id);
  tail_.clear();
  tail_ids_.clear();
}

std::uint64_t Vectorstore::id(std::size_t record) const {
  const std::size_t blocked = complete_blocks() * kBlockLanes;
  if (record >= blocked) return tail_ids_[record - blocked];
  std::uint64_t id;
  const float* ids = ids_.block(record / kBlockLanes);
  std::memcpy(&id, ids + 2 * (record % kBlockLanes), sizeof id);
  return id;
}

void Vectorstore::write_block(float* block, std::span<const float> last) const {
  // A few rows at a time, so the rows being written stay in the first-level cache
  // while every record passes through them.
  constexpr std::size_t kRows = 16;
  const std::size_t dim = vector_size_;
  for (std::size_t first_row = 0; first_row < dim; first_row += kRows) {
    const std::size_t rows = std::min(kRows, dim - first_row);
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
      const float* record = lane + 1 < kBlockLanes ? tail_.data() + lane * dim : last.data();
      for (std::size_t j = first_row; j < first_row + rows; ++j) block[j * kBlockLanes + lane] = record[j];
    }
  }
}

std::vector<float> Vectorstore::vector(std::size_t record) const {
  const std::size_t blocked = complete_blocks() * kBlockLanes;
  if (record >= blocked) {
    const auto first = tail_.begin() + static_cast<std::ptrdiff_t>((record - blocked) * vector_size_);
    return std::vector<float>(first, first + vector_size_);
  }
  const float* block = blocks_.block(record / kBlockLanes);
  std::vector<float> out(vector_size_);
  for (std::size_t j = 0; j < out.size(); ++j) out[j] = block[j * kBlockLanes + record % kBlockLanes];
  return out;
}

}  // namespace tarnix::core

// Building the store and growing it one record at a time.
#include "core/store.hpp"

namespace tarnix::core {
namespace {

DimensionError wrong_vector_length(std::size_t length, Size vector_size) {
  return {"vector has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

}  // namespace

CoreResult<Vectorstore> Vectorstore::create(Size vector_size, std::vector<StoredVector> records) {
  // The records arrive already built, in order: checking them in place and adopting
  // the buffer is the same as appending them one by one, without a second copy.
  for (const StoredVector& record : records) {
    if (record.vector.size() != vector_size)
      return fail(wrong_vector_length(record.vector.size(), vector_size));
  }
  return Vectorstore(vector_size, std::move(records));
}

CoreResult<Done> Vectorstore::insert(std::vector<float>&& vector, std::uint64_t id) {
  if (vector.size() != vector_size_) return fail(wrong_vector_length(vector.size(), vector_size_));
  // push_back gives the strong guarantee: if growing fails, the store is as it was.
  records_.push_back(StoredVector{std::move(vector), id});
  return Done{};
}

}  // namespace tarnix::core

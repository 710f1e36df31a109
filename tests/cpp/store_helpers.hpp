// Building stores from whole lists of records and reading records back, for tests.
#pragma once

#include <cstddef>
#include <vector>

#include "core/store.hpp"

namespace tarnix::core {

// A store of the records, in order, each buffer allocated once; fails on the first
// record whose length is not vector_size, before anything is stored.
inline CoreResult<Vectorstore> create_store(Size vector_size, const std::vector<StoredVector>& records) {
  for (const StoredVector& record : records) {
    if (record.vector.size() != vector_size) {
      Vectorstore probe(vector_size);
      return base::fail(probe.wrong_length(record.vector.size()));
    }
  }
  Vectorstore store(vector_size);
  store.reserve(records.size());
  for (const StoredVector& record : records) (void)store.insert(record.vector, record.id);
  return store;
}

// A copy of one record's vector, wherever it is kept.
inline std::vector<float> stored_vector(const Vectorstore& store, std::size_t record) {
  const std::size_t dimension = store.vector_size();
  const std::size_t blocked = store.complete_blocks() * kBlockLanes;
  if (record >= blocked) {
    const float* row = store.tail().data() + (record - blocked) * dimension;
    return std::vector<float>(row, row + dimension);
  }
  const float* block = store.block(record / kBlockLanes);
  std::vector<float> out(dimension);
  for (std::size_t j = 0; j < dimension; ++j) out[j] = block[j * kBlockLanes + record % kBlockLanes];
  return out;
}

}  // namespace tarnix::core

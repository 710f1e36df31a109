// Building stores from whole lists of records and reading records back, for tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/store.hpp"

namespace tarnix::core {

// A record as a test writes it down: its vector and its id.
struct StoredVector {
  std::vector<float> vector;
  std::uint64_t id;
};

// A store of the records, in order, appended in one run as insert_many appends them;
// fails on the first record whose length is not vector_size, before anything is stored.
inline CoreResult<Vectorstore> create_store(Size vector_size, const std::vector<StoredVector>& records) {
  for (const StoredVector& record : records) {
    if (record.vector.size() != vector_size) {
      Vectorstore probe(vector_size);
      return base::fail(probe.wrong_length(record.vector.size()));
    }
  }
  std::vector<std::uint64_t> ids;
  for (const StoredVector& record : records) ids.push_back(record.id);
  Vectorstore store(vector_size);
  store.insert_runs(ids, [&](std::size_t first, std::size_t count, float* room) {
    for (std::size_t r = first; r < first + count; ++r, room += vector_size)
      std::copy(records[r].vector.begin(), records[r].vector.end(), room);
  });
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

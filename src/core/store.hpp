// The vector store: records of one fixed dimension, kept in the order they arrived.
#pragma once

#include <cstdint>  // std::uint32_t, std::uint64_t
#include <span>
#include <string>
#include <vector>

#include "core/expected.hpp"

namespace tarnix::core {

// The unsigned size of the Python surface (dimensions, top_k, thread counts):
// 32 bits on every platform, so that a 64-bit build behaves like the 32-bit target.
using Size = std::uint32_t;

struct StoredVector {
  std::vector<float> vector;
  std::uint64_t id;
};

// Every failure of the core is a length that does not match a dimension;
// the boundary raises it as ValueError with this text.
struct DimensionError {
  std::string message;
};

template <class T>
using CoreResult = Expected<T, DimensionError>;

class Vectorstore {
 public:
  // Takes the initial records in order; fails on the first whose length is not vector_size.
  static CoreResult<Vectorstore> create(Size vector_size, std::vector<StoredVector> records);

  // Moves the vector into a new record; on failure the store is unchanged.
  CoreResult<Done> insert(std::vector<float>&& vector, std::uint64_t id);

  Size vector_size() const { return vector_size_; }
  std::size_t size() const { return records_.size(); }
  std::span<const StoredVector> records() const { return records_; }

 private:
  Vectorstore(Size vector_size, std::vector<StoredVector> records)
      : vector_size_(vector_size), records_(std::move(records)) {}

  Size vector_size_;
  std::vector<StoredVector> records_;
};

}  // namespace tarnix::core

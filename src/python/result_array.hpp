// Arrays handed back to Python as buffers: results and copies of the records, in one
// allocation each, without a Python object per element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "python/error.hpp"

namespace tarnix::py {

// A C-contiguous array of rows x columns elements (one dimension when `columns` is
// absent), float32 or uint64, whose elements the caller writes before handing it out.
template <class Element>
class ResultArray {
 public:
  static_assert(std::is_same_v<Element, float> || std::is_same_v<Element, std::uint64_t>);
  // Fails with MemoryError when the elements cannot be had.
  static Result<ResultArray> make_matrix(std::size_t rows, std::size_t columns);
  static Result<ResultArray> make_vector(std::size_t length);

  Element* data() const { return data_; }
  // A memoryview of the array (a new reference), which numpy.asarray wraps without a
  // copy; the array lives as long as the view and every export of it.
  Result<Object> into_memoryview() &&;

 private:
  ResultArray(Object owner, Element* data) : owner_(std::move(owner)), data_(data) {}
  Object owner_;
  Element* data_;
};

extern template class ResultArray<float>;
extern template class ResultArray<std::uint64_t>;

}  // namespace tarnix::py

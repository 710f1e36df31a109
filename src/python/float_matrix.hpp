// A two-dimensional buffer of floats (a numpy array of shape (n, D)) read as n vectors,
// without a Python object per row.
#pragma once

#include <cstddef>
#include <vector>

#include "python/float_vector.hpp"

namespace tarnix::py {

// The export of a 2-D C-contiguous buffer of native float32 or float64, held for as
// long as this lives, so that its exporter cannot resize or free it meanwhile. For any
// other object it is not readable, and no error is pending: the caller then reads the
// object as a sequence of vectors, which gives the same floats for every such buffer
// that iterates by rows.
class FloatMatrix {
 public:
  explicit FloatMatrix(Borrowed object);
  ~FloatMatrix();
  FloatMatrix(const FloatMatrix&) = delete;
  FloatMatrix& operator=(const FloatMatrix&) = delete;
  FloatMatrix(FloatMatrix&& other) noexcept;
  FloatMatrix& operator=(FloatMatrix&&) = delete;

  bool readable() const { return readable_; }
  std::size_t rows() const { return rows_; }
  std::size_t columns() const { return columns_; }

  // Rows first .. first + count - 1 as one vector of count * columns() floats, open on
  // this buffer: the one vector conversion (to_float_vector) reads them, so each float is
  // what inserting its row alone would store. Runs no Python code of the caller's; the
  // result must be written out before any can run, and before this is destroyed.
  Result<FloatVector> row_run(std::size_t first, std::size_t count) const;

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool readable_ = false;
  std::size_t rows_ = 0;
  std::size_t columns_ = 0;
};

}  // namespace tarnix::py

// Reading a 2-D float buffer in runs of rows.
#include "python/float_matrix.hpp"

#include <string_view>
#include <utility>  // std::exchange

namespace tarnix::py {
namespace {

// The element size of a native float32 or float64 format, else 0.
Py_ssize_t float_item_size(const char* format) {
  std::string_view f = format ? format : "B";
  if (!f.empty() && f.front() == '@') f.remove_prefix(1);
  return f == "f" ? 4 : f == "d" ? 8 : 0;
}

}  // namespace

FloatMatrix::FloatMatrix(Borrowed object) {
  if (!PyObject_CheckBuffer(object.get())) return;
  if (PyObject_GetBuffer(object.get(), &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr::take();  // the general way reports what is wrong with it
    return;
  }
  held_ = true;
  const Py_ssize_t item = float_item_size(view_.format);
  if (item == 0 || view_.ndim != 2 || view_.itemsize != item || view_.suboffsets) return;
  const Py_ssize_t rows = view_.shape[0];
  const Py_ssize_t columns = view_.shape[1];
  // C-contiguous: rows of `columns` elements, one after another (a stride of a dimension
  // of at most one element says nothing).
  if (view_.strides &&
      ((columns > 1 && view_.strides[1] != item) || (rows > 1 && view_.strides[0] != columns * item)))
    return;
  readable_ = true;
  rows_ = static_cast<std::size_t>(rows);
  columns_ = static_cast<std::size_t>(columns);
}

FloatMatrix::FloatMatrix(FloatMatrix&& other) noexcept
    : view_(other.view_),
      held_(std::exchange(other.held_, false)),
      readable_(std::exchange(other.readable_, false)),
      rows_(other.rows_),
      columns_(other.columns_) {
  // The shape is read only while making the matrix; it may point into the view itself.
  view_.shape = nullptr;
  view_.strides = nullptr;
  view_.suboffsets = nullptr;
}

FloatMatrix::~FloatMatrix() {
  if (held_) PyBuffer_Release(&view_);
}

Result<FloatVector> FloatMatrix::row_run(std::size_t first, std::size_t count) const {
  // A one-dimensional memoryview of the run, over memory this export keeps still; it
  // owns no reference to the exporter, so it must not outlive this.
  Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(count * columns_)};
  Py_ssize_t strides[1] = {view_.itemsize};
  Py_buffer run{};
  run.buf = static_cast<char*>(view_.buf) + first * columns_ * static_cast<std::size_t>(view_.itemsize);
  run.obj = nullptr;
  run.len = shape[0] * view_.itemsize;
  run.itemsize = view_.itemsize;
  run.readonly = 1;
  run.ndim = 1;
  run.format = const_cast<char*>(view_.itemsize == 4 ? "f" : "d");
  run.shape = shape;
  run.strides = strides;
  const Object memoryview = Object::steal(PyMemoryView_FromBuffer(&run));
  if (!memoryview) return fail(PyErr::fetch());
  return to_float_vector(memoryview.borrowed(), BufferUse::write_before_python_runs);
}

}  // namespace tarnix::py

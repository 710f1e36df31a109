// Converting the arguments of insert_many.
#include "python/bulk_arguments.hpp"

#include <algorithm>  // std::copy, std::min
#include <cstring>    // std::memcpy
#include <string>
#include <string_view>

#include "base/panic.hpp"
#include "python/convert.hpp"
#include "python/sequence.hpp"
#include "python/text.hpp"

namespace tarnix::py {
namespace {

// Whether a buffer format is a 64-bit integer ('q', 'l' where long has 64 bits, or their
// unsigned forms), and which kind; native or little-endian standard sizes, as on x86.
enum class IdElement { none, u64, i64 };
IdElement id_element(const char* format, Py_ssize_t itemsize) {
  std::string_view f = format ? format : "B";
  if (!f.empty() && (f.front() == '@' || f.front() == '=' || f.front() == '<')) f.remove_prefix(1);
  if (itemsize != 8 || f.size() != 1) return IdElement::none;
  switch (f.front()) {
    case 'Q':
    case 'L':
      return IdElement::u64;
    case 'q':
    case 'l':
      return IdElement::i64;
    default:
      return IdElement::none;
  }
}

// The error of item `index` with "<what> <index>: " ahead of its message, of the same
// class where it is one the conversions raise; any other error as it is.
PyErr indexed_error(std::string_view what, std::size_t index, PyErr error) {
  const auto labelled = [&](PyErr (*make)(std::string)) {
    PyErr relabelled =
        make(std::string(what) + " " + std::to_string(index) + ": " + str_text(Borrowed(error.value())));
    relabelled.set_cause(error.cause());
    return relabelled;
  };
  if (error.is_exactly(PyExc_TypeError)) return labelled(type_error);
  if (error.is_exactly(PyExc_OverflowError)) return labelled(overflow_error);
  if (error.is_exactly(PyExc_ValueError)) return labelled(value_error);
  return error;
}

// The column of a 1-D buffer of 64-bit integers, or nothing (no error pending) when the
// object is not one.
Result<std::optional<std::vector<std::uint64_t>>> buffered_ids(Borrowed object) {
  if (!PyObject_CheckBuffer(object.get())) return std::optional<std::vector<std::uint64_t>>{};
  Py_buffer view{};
  if (PyObject_GetBuffer(object.get(), &view, PyBUF_RECORDS_RO) != 0) {
    PyErr::take();  // the sequence reading reports it
    return std::optional<std::vector<std::uint64_t>>{};
  }
  // Released on every way out; nothing below runs Python code while it is held.
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const IdElement element = id_element(view.format, view.itemsize);
  if (element == IdElement::none || view.ndim != 1 || view.suboffsets ||
      (view.strides && view.shape[0] > 1 && view.strides[0] != 8))
    return std::optional<std::vector<std::uint64_t>>{};
  std::vector<std::uint64_t> ids(static_cast<std::size_t>(view.shape[0]));
  if (!ids.empty()) std::memcpy(ids.data(), view.buf, ids.size() * sizeof(std::uint64_t));
  if (element == IdElement::i64) {
    for (std::size_t i = 0; i < ids.size(); ++i) {
      // The message an id argument's negative int gets.
      if (ids[i] >> 63) return fail(overflow_error("id " + std::to_string(i) + ": can't convert negative int to unsigned"));
    }
  }
  return std::optional<std::vector<std::uint64_t>>{std::move(ids)};
}

}  // namespace

Result<std::vector<std::uint64_t>> to_id_column(Borrowed object) {
  auto buffered = buffered_ids(object);
  if (!buffered) return fail(buffered.take_error());
  if (buffered.value()) return std::move(*buffered.value());
  std::vector<std::uint64_t> ids;
  const auto reserve = [&](std::size_t count) { ids.reserve(count); };
  const auto append = [&](Borrowed item) -> Result<base::Done> {
    auto id = to_u64(item);
    if (!id) return fail(indexed_error("id", ids.size(), id.take_error()));
    ids.push_back(id.value());
    return base::Done{};
  };
  if (auto read = read_sequence(object, sizeof(std::uint64_t), reserve, append); !read) return fail(read.take_error());
  return ids;
}

Result<RecordVectors> RecordVectors::convert(Borrowed object) {
  FloatMatrix matrix(object);
  if (matrix.readable()) return RecordVectors(std::move(matrix));
  auto rows = to_query_batch(object);
  if (!rows) return fail(rows.take_error());
  return RecordVectors(rows.take_value());
}

std::size_t RecordVectors::count() const {
  if (const auto* matrix = std::get_if<FloatMatrix>(&source_)) return matrix->rows();
  return std::get<std::vector<std::vector<float>>>(source_).size();
}

std::optional<std::pair<std::size_t, std::size_t>> RecordVectors::first_wrong_length(std::size_t dimension) const {
  if (const auto* matrix = std::get_if<FloatMatrix>(&source_)) {
    if (matrix->rows() > 0 && matrix->columns() != dimension) return std::pair{std::size_t{0}, matrix->columns()};
    return std::nullopt;
  }
  const auto& rows = std::get<std::vector<std::vector<float>>>(source_);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].size() != dimension) return std::pair{i, rows[i].size()};
  }
  return std::nullopt;
}

Result<base::Done> RecordVectors::open_runs(std::size_t stored) {
  const auto* matrix = std::get_if<FloatMatrix>(&source_);
  if (!matrix || matrix->columns() == 0) return base::Done{};  // no floats to write
  first_run_ = core::kBlockLanes - stored % core::kBlockLanes;
  runs_.clear();
  for (std::size_t first = 0; first < matrix->rows();) {
    const std::size_t count = std::min(matrix->rows() - first, first == 0 ? first_run_ : core::kBlockLanes);
    auto run = matrix->row_run(first, count);
    if (!run) return fail(run.take_error());
    runs_.push_back(run.take_value());
    first += count;
  }
  return base::Done{};
}

void RecordVectors::write(std::size_t first, std::size_t count, float* out) const {
  if (const auto* matrix = std::get_if<FloatMatrix>(&source_)) {
    if (matrix->columns() == 0) return;
    const std::size_t run = first == 0 ? 0 : 1 + (first - first_run_) / core::kBlockLanes;
    base::check(run < runs_.size() && runs_[run].size() == count * matrix->columns(),
                "insert_many asked for rows that are not one run");
    runs_[run].write_to(out);
    return;
  }
  const auto& rows = std::get<std::vector<std::vector<float>>>(source_);
  for (std::size_t i = 0; i < count; ++i) out = std::copy(rows[first + i].begin(), rows[first + i].end(), out);
}

}  // namespace tarnix::py

// Conversions between Python objects and the core's native values.
#include "python/convert.hpp"

#include <limits>

#include "base/panic.hpp"
#include "python/compat.hpp"
#include "python/float_matrix.hpp"
#include "python/interpreter_side.hpp"
#include "python/sequence.hpp"
#include "python/text.hpp"

namespace tarnix::py {
namespace {

Result<std::uint64_t> long_to_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == std::numeric_limits<unsigned long long>::max()) {
    if (auto failure = PyErr::take()) return fail(std::move(*failure));
  }
  return static_cast<std::uint64_t>(value);
}

Result<std::vector<std::vector<float>>> matrix_rows(const FloatMatrix& matrix) {
  const std::size_t columns = matrix.columns();
  std::vector<std::vector<float>> rows(matrix.rows());
  if (rows.empty() || columns == 0) return rows;
  Result<FloatVector> run = matrix.row_run(0, rows.size());
  if (!run) return fail(run.take_error());
  const std::vector<float> floats = std::move(run.take_value()).take_floats();
  for (std::size_t r = 0; r < rows.size(); ++r)
    rows[r].assign(floats.begin() + static_cast<std::ptrdiff_t>(r * columns),
                   floats.begin() + static_cast<std::ptrdiff_t>((r + 1) * columns));
  return rows;
}

}  // namespace

Result<std::uint64_t> to_u64(Borrowed object) {
  if (PyLong_Check(object.get())) return long_to_u64(object.get());
  Object index = Object::steal(PyNumber_Index(object.get()));
  if (!index) return fail(PyErr::fetch());
  return long_to_u64(index.get());
}

Result<core::Size> to_size(Borrowed object) {
  Result<std::uint64_t> wide = to_u64(object);
  if (!wide) return fail(wide.take_error());
  if (wide.value() > std::numeric_limits<core::Size>::max())
    return fail(overflow_error("out of range integral type conversion attempted"));
  return static_cast<core::Size>(wide.value());
}

Result<PairArgument> to_pair(Borrowed object) {
  if (!PyTuple_Check(object.get()))
    return fail(PyErr::cast_failure(object, reinterpret_cast<PyObject*>(&PyTuple_Type)));
  const Py_ssize_t length = compat::tuple_size(object.get());
  if (length < 0) return fail(PyErr::fetch());
  if (length != 2)
    return fail(value_error("expected tuple of length 2, but got tuple of length " + std::to_string(length)));
  const Object first = Object::steal(compat::tuple_item(object.get(), 0));
  if (!first) return fail(PyErr::fetch());
  const Object second = Object::steal(compat::tuple_item(object.get(), 1));
  if (!second) return fail(PyErr::fetch());
  const BufferUse use =
      PyLong_CheckExact(second.get()) ? BufferUse::write_before_python_runs : BufferUse::copy_at_once;
  Result<FloatVector> vector = to_float_vector(first.borrowed(), use);
  if (!vector) return fail(vector.take_error());
  Result<std::uint64_t> id = to_u64(second.borrowed());
  if (!id) return fail(id.take_error());
  return PairArgument{vector.take_value(), id.value()};
}

Result<std::vector<std::vector<float>>> to_query_batch(Borrowed object) {
  // Its items would be numbers; said at once, an empty one included.
  if (FloatBuffer(object).readable())
    return fail(type_error("a batch is a sequence of vectors, not a one-dimensional buffer"));
  // A 2-D float buffer, read as insert_many reads it: without a Python object per row.
  if (const FloatMatrix matrix(object); matrix.readable()) return matrix_rows(matrix);
  std::vector<std::vector<float>> queries;
  const auto reserve = [&](std::size_t count) { queries.reserve(count); };
  const auto append = [&](Borrowed item) -> Result<base::Done> {
    Result<FloatVector> vector = to_float_vector(item);
    if (!vector) {
      // Only where the vector conversion refuses the item's kind: its own messages stay.
      if (!PyUnicode_Check(item.get()) && !PySequence_Check(item.get()) && PyNumber_Check(item.get()))
        return fail(type_error("a batch is a sequence of vectors, but item " + std::to_string(queries.size()) +
                               " is a number ('" + type_qualname_text(item.type()) + "')"));
      return fail(vector.take_error());
    }
    queries.push_back(vector.take_value().take_floats());
    return base::Done{};
  };
  if (auto read = read_sequence(object, sizeof(std::vector<float>), reserve, append); !read)
    return fail(read.take_error());
  return queries;
}

Object from_f32(float value) { return new_or_panic(PyFloat_FromDouble(static_cast<double>(value))); }

Object from_u64(std::uint64_t value) { return new_or_panic(PyLong_FromUnsignedLongLong(value)); }

Object from_size(core::Size value) { return from_u64(value); }

Object from_text(std::string_view text) {
  return new_or_panic(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<Object> from_hit_lists(const std::vector<std::vector<core::Hit>>& lists) {
  Object list = new_or_panic(PyList_New(static_cast<Py_ssize_t>(lists.size())));
  Py_ssize_t index = 0;
  for (const std::vector<core::Hit>& hits : lists) {
    // A list left partly filled is still a list that can be dropped.
    Result<Object> entry = from_hits(hits);
    if (!entry) return fail(entry.take_error());
    PyList_SET_ITEM(list.get(), index++, entry.take_value().release());
  }
  base::check(index == static_cast<Py_ssize_t>(lists.size()), "result list was not filled exactly");
  return list;
}

Result<Object> from_hits(const std::vector<core::Hit>& hits) {
  auto built = interpreter_side::hits_list(hits);
  if (!built) return fail(built.take_error());
  if (built.value()) return std::move(*built.value());
  Object list = new_or_panic(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  Py_ssize_t index = 0;
  for (const core::Hit& hit : hits) {
    Object score = from_f32(hit.score);
    Object id = from_u64(hit.id);
    Object pair = new_or_panic(PyTuple_New(2));
    PyTuple_SetItem(pair.get(), 0, score.release());  // steals
    PyTuple_SetItem(pair.get(), 1, id.release());     // steals
    PyList_SET_ITEM(list.get(), index++, pair.release());
  }
  base::check(index == static_cast<Py_ssize_t>(hits.size()), "result list was not filled exactly");
  return list;
}

}  // namespace tarnix::py

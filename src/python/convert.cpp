// Conversions between Python objects and the core's native values.
#include "python/convert.hpp"

#include <algorithm>  // std::min
#include <cstddef>    // std::ptrdiff_t
#include <limits>
#include <new>        // std::bad_alloc

#include "core/panic.hpp"
#include "python/float_buffer.hpp"

namespace tarnix::py {
namespace {

PyObject* type_error_type() { return PyExc_TypeError; }

// How many items may be reserved on the word of an object's __len__ alone. Lists and
// tuples know their length; any other object may lie, so a large hint only starts the
// buffer and growth does the rest.
constexpr std::size_t kUntrustedHintLimit = 1 << 16;

// The length hint of a sequence about to be read, as reserve(count, trusted) is told
// it: `trusted` when it is the length of an exact list or tuple.
template <class Reserve>
void reserve_for_hint(Borrowed object, std::size_t item_bytes, Reserve reserve) {
  // 3. The length is only a hint: when it cannot be had, start empty.
  const Py_ssize_t hint = PyObject_Size(object.get());
  if (hint < 0) {
    PyErr::take();
    return;
  }
  // 4. A buffer beyond the largest signed size cannot exist on this platform.
  const auto count = static_cast<std::size_t>(hint);
  if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / item_bytes)
    core::panic("capacity overflow");
  try {
    reserve(count, PyList_CheckExact(object.get()) || PyTuple_CheckExact(object.get()));
  } catch (const std::bad_alloc&) {
    // A hint that cannot be reserved is ignored; the items themselves decide.
  }
}

// The shape shared by vectors and lists of pairs: any object with the sequence protocol
// (but not a str), read through iteration, each item handed to visit(item), which may
// fail and so end the reading. reserve is told the length hint first (see above), for
// items of item_bytes each.
template <class Reserve, class Visit>
Result<core::Done> visit_sequence(Borrowed object, std::size_t item_bytes, Reserve reserve, Visit visit) {
  // 1.
  if (PyUnicode_Check(object.get()))
    return Err(PyErr::new_lazy(type_error_type, "Can't extract `str` to `Vec`"));
  // 2.
  if (!PySequence_Check(object.get())) return Err(PyErr::cast_failure(object, sequence_type()));
  // 3. and 4.
  reserve_for_hint(object, item_bytes, reserve);
  // 5. to 7. Exact lists and tuples are read by index, as their iterators read them:
  // the length is looked at again before every item (a conversion may run Python code
  // that changes the list), and each item is held while it is converted.
  if (PyList_CheckExact(object.get()) || PyTuple_CheckExact(object.get())) {
    PyObject* sequence = object.get();
    const bool is_list = PyList_CheckExact(sequence);
    for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence)); ++i) {
      const Object item = Object::borrow(is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
      if (auto visited = visit(item.borrowed()); !visited) return visited.take_error();
    }
    return core::Done{};
  }
  Object iterator = Object::steal(PyObject_GetIter(object.get()));
  if (!iterator) return Err(PyErr::fetch());
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
    if (auto visited = visit(item.borrowed()); !visited) return visited.take_error();
  }
  if (auto failure = PyErr::take()) return Err(std::move(*failure));
  return core::Done{};
}

// Every item of a sequence, converted.
template <class Item, class Convert>
Result<std::vector<Item>> extract_sequence(Borrowed object, Convert convert_item) {
  std::vector<Item> items;
  const auto reserve = [&](std::size_t count, bool trusted) {
    // Any other object may lie about its length: a large hint only starts the buffer.
    items.reserve(trusted ? count : std::min(count, kUntrustedHintLimit));
  };
  const auto collect = [&](Borrowed item) -> Result<core::Done> {
    Result<Item> converted = convert_item(item);
    if (!converted) return converted.take_error();
    items.push_back(converted.take_value());
    return core::Done{};
  };
  if (auto read = visit_sequence(object, sizeof(Item), reserve, collect); !read) return read.take_error();
  return items;
}

Result<std::uint64_t> long_to_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == std::numeric_limits<unsigned long long>::max()) {
    if (auto failure = PyErr::take()) return Err(std::move(*failure));
  }
  return static_cast<std::uint64_t>(value);
}

}  // namespace

PyObject* sequence_type() {
  // Filled under the interpreter lock; if two threads race through the import,
  // the first to finish wins and both see the same class.
  static PyObject* cached = nullptr;
  if (cached) return cached;
  Object name = from_text("collections.abc");
  Object module = Object::steal(PyImport_Import(name.get()));
  if (!module) core::panic("failed to import collections.abc: " + PyErr::fetch().describe());
  Object sequence = Object::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) core::panic("failed to read collections.abc.Sequence: " + PyErr::fetch().describe());
  if (!PyType_Check(sequence.get())) core::panic("collections.abc.Sequence is not a type");
  if (!cached) cached = sequence.release();
  return cached;
}

Result<float> to_f32(Borrowed object) {
  double value;
  if (PyFloat_CheckExact(object.get())) {
    value = PyFloat_AS_DOUBLE(object.get());
  } else {
    value = PyFloat_AsDouble(object.get());
    if (value == -1.0) {
      if (auto failure = PyErr::take()) return Err(std::move(*failure));
    }
  }
  // Round to nearest even; beyond the float range that is an infinity, and NaN stays NaN.
  return static_cast<float>(value);
}

Result<std::vector<float>> to_float_vector(Borrowed object) {
  if (auto floats = read_float_buffer(object)) return std::move(*floats);
  return extract_sequence<float>(object, to_f32);
}

Result<std::uint64_t> to_u64(Borrowed object) {
  if (PyLong_Check(object.get())) return long_to_u64(object.get());
  Object index = Object::steal(PyNumber_Index(object.get()));
  if (!index) return Err(PyErr::fetch());
  return long_to_u64(index.get());
}

Result<core::Size> to_size(Borrowed object) {
  Result<std::uint64_t> wide = to_u64(object);
  if (!wide) return wide.take_error();
  if (wide.value() > std::numeric_limits<core::Size>::max())
    return Err(PyErr::new_lazy([] { return PyExc_OverflowError; },
                               "out of range integral type conversion attempted"));
  return static_cast<core::Size>(wide.value());
}

Result<core::StoredVector> to_pair(Borrowed object) {
  if (!PyTuple_Check(object.get()))
    return Err(PyErr::cast_failure(object, reinterpret_cast<PyObject*>(&PyTuple_Type)));
  const Py_ssize_t length = PyTuple_Size(object.get());
  if (length != 2)
    return Err(PyErr::new_lazy([] { return PyExc_ValueError; },
                               "expected tuple of length 2, but got tuple of length " + std::to_string(length)));
  Result<std::vector<float>> vector = to_float_vector(Borrowed(PyTuple_GET_ITEM(object.get(), 0)));
  if (!vector) return vector.take_error();
  Result<std::uint64_t> id = to_u64(Borrowed(PyTuple_GET_ITEM(object.get(), 1)));
  if (!id) return id.take_error();
  return core::StoredVector{vector.take_value(), id.value()};
}

Result<PairsPending> add_pairs(core::Vectorstore& store, Borrowed object) {
  PairsPending pending;
  // Nothing is reserved on the list's length: it says nothing about its vectors, and room
  // made for pairs not yet checked could be far more than the records that arrive need.
  // The store grows in chunks that are never moved, so growing costs no more.
  const auto reserve = [](std::size_t, bool) {};
  const auto add = [&](Borrowed item) -> Result<core::Done> {
    Result<core::StoredVector> pair = to_pair(item);
    if (!pair) return pair.take_error();
    // After a failure only conversion errors are left to find: each would come first.
    if (pending.wrong_length) return core::Done{};
    const std::vector<float>& vector = pair.value().vector;
    if (vector.size() != store.vector_size()) {
      pending.wrong_length = store.wrong_length(vector.size());
    } else if (!pending.out_of_memory) {
      try {
        (void)store.insert(vector, pair.value().id);
      } catch (const std::bad_alloc&) {
        pending.out_of_memory = true;
      }
    }
    return core::Done{};
  };
  // The same bound on the hint as for a list of the converted pairs.
  if (auto read = visit_sequence(object, sizeof(core::StoredVector), reserve, add); !read) return read.take_error();
  return pending;
}

Object from_f32(float value) { return new_or_panic(PyFloat_FromDouble(static_cast<double>(value))); }

Object from_u64(std::uint64_t value) { return new_or_panic(PyLong_FromUnsignedLongLong(value)); }

Object from_size(core::Size value) { return from_u64(value); }

Object from_text(std::string_view text) {
  return new_or_panic(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Object from_hits(const std::vector<core::Hit>& hits) {
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
  core::check(index == static_cast<Py_ssize_t>(hits.size()), "result list was not filled exactly");
  return list;
}

PyErr value_error(core::DimensionError error) {
  return PyErr::new_lazy([] { return PyExc_ValueError; }, std::move(error.message));
}

}  // namespace tarnix::py

// The constructor: a store for one dimension, built from its initial (vector, id) pairs.
#include <algorithm>  // std::copy
#include <new>  // std::bad_alloc
#include <optional>

#include "python/convert.hpp"
#include "python/interpreter_side.hpp"
#include "python/sequence.hpp"
#include "python/text.hpp"
#include "python/vectorstore_class.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kNewParameters[] = {"vector_size", "vectors"};
constexpr FunctionDescription kNew{
    .function_name = "__new__",
    .class_name = "Vectorstore",
    .positional_names = kNewParameters,
    .required_positional_count = 1,
};

// CPython refuses Vectorstore.__new__(X) for an X that is not a subtype of Vectorstore
// before we are called, with these messages; PyPy hands us any object, and an instance
// of another type has no room for a store.
Result<PyTypeObject*> checked_subtype(PyObject* subtype) {
  const std::string name = kClassName;
  if (!PyType_Check(subtype))
    return fail(type_error(name + ".__new__(X): X is not a type object (" +
                           type_printed_name_text(Py_TYPE(subtype)) + ")"));
  auto type = vectorstore_type();
  if (!type) return fail(type.take_error());
  auto* requested = reinterpret_cast<PyTypeObject*>(subtype);
  if (PyType_IsSubtype(requested, reinterpret_cast<PyTypeObject*>(type.value()))) return requested;
  const std::string requested_name = type_printed_name_text(requested);
  return fail(type_error(name + ".__new__(" + requested_name + "): " + requested_name + " is not a subtype of " +
                         name));
}

// An exact list read in runs of plain pairs (see interpreter_side::PlainPairs), each
// pair that is not plain added the general way between them: what reading it item by
// item gives, since converting a plain pair can neither fail nor run Python code. The
// length is looked at again after every run and every other pair.
template <class Insert, class Add>
Result<base::Done> add_plain_runs(Borrowed pairs, interpreter_side::PlainPairs& plain, const Insert& insert,
                                  const Add& add) {
  std::size_t index = 0;
  for (;;) {
    Result<std::size_t> read = plain.read(pairs, index);
    if (!read) return fail(read.take_error());
    for (std::size_t i = 0; i < read.value(); ++i) {
      const std::span<const float> vector = plain.vector(i);
      insert(vector.size(), plain.id(i), [&](float* room) { std::copy(vector.begin(), vector.end(), room); });
    }
    index += read.value();
    const Py_ssize_t size = PyList_GET_SIZE(pairs.get());
    if (size < 0) return fail(PyErr::fetch());
    if (index >= static_cast<std::size_t>(size)) return base::Done{};
    if (read.value() == plain.capacity()) continue;
    PyObject* raw = PyList_GET_ITEM(pairs.get(), static_cast<Py_ssize_t>(index));
    if (!raw) return fail(PyErr::fetch());
    const Object item = Object::borrow(raw);
    if (auto added = add(item.borrowed()); !added) return added;
    ++index;
  }
}

// Adds each pair to the store as soon as it has converted, so that no converted vector
// outlives its own pair, with the errors of converting the whole list before building a
// store of it: a conversion error ends the reading at once; a wrong length (the first)
// or running out of memory only once every pair has converted, since a conversion error
// of a later pair would have come first.
Result<base::Done> add_pairs(core::Vectorstore& store, Borrowed pairs) {
  std::optional<PyErr> after_conversion;
  const auto insert = [&](std::size_t length, std::uint64_t id, const auto& write) {
    if (after_conversion) return;
    try {
      auto added = store.insert_written(length, id, write);
      if (!added) after_conversion = value_error(std::move(added.error().message));
    } catch (const std::bad_alloc&) {
      after_conversion = memory_error();
    }
  };
  const auto add = [&](Borrowed item) -> Result<base::Done> {
    Result<PairArgument> pair = to_pair(item);
    if (!pair) return fail(pair.take_error());
    const FloatVector& vector = pair.value().vector;
    insert(vector.size(), pair.value().id, [&](float* room) { vector.write_to(room); });
    return base::Done{};
  };
  if (PyList_CheckExact(pairs.get())) {
    if (auto plain = interpreter_side::PlainPairs::make(store.vector_size())) {
      auto added = add_plain_runs(pairs, *plain, insert, add);
      if (!added) return added;
      if (after_conversion) return fail(std::move(*after_conversion));
      return base::Done{};
    }
  }
  // Nothing is reserved on the list's length: it says nothing about its vectors, and room
  // made for pairs not yet checked could be far more than the records that arrive need.
  // The store grows in chunks that are never moved, so growing costs no more.
  const auto reserve = [](std::size_t) {};
  if (auto read = read_sequence(pairs, sizeof(PairArgument), reserve, add); !read) return read;
  if (after_conversion) return fail(std::move(*after_conversion));
  return base::Done{};
}

}  // namespace

Result<Object> new_wrapper(PyObject* requested, PyObject* args, PyObject* kwargs) {
  auto subtype = checked_subtype(requested);
  if (!subtype) return fail(subtype.take_error());
  auto bound = bind<kNew>(args, kwargs);
  if (!bound) return fail(bound.take_error());
  const auto [vector_size_argument, vectors_argument] = bound.value();
  auto vector_size = extract_argument(vector_size_argument, "vector_size", to_size);
  if (!vector_size) return fail(vector_size.take_error());
  core::Vectorstore store(vector_size.value());
  if (!is_absent(vectors_argument)) {
    auto added = extract_argument(vectors_argument, "vectors", [&](Borrowed pairs) { return add_pairs(store, pairs); });
    if (!added) return fail(added.take_error());
  }

  return new_vectorstore_object(subtype.value(), std::move(store));
}

}  // namespace tarnix::py

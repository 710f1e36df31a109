// Reading an object through the sequence protocol, item by item: the shape shared by
// float vectors and by lists of (vector, id) pairs.
#pragma once

#include <algorithm>  // std::min
#include <cstddef>
#include <limits>
#include <new>  // std::bad_alloc

#include "base/panic.hpp"
#include "python/error.hpp"

namespace tarnix::py {

// collections.abc.Sequence, imported on first use and kept. Borrowed.
PyObject* sequence_type();

// How many items may be reserved on the word of an object's __len__ alone. Lists and
// tuples know their length; any other object may lie, so a large hint only starts the
// buffer and growth does the rest.
inline constexpr std::size_t kUntrustedHintLimit = 1 << 16;

// Reads `object` item by item, handing each to `visit(item)` (which may fail, and so end
// the reading); `reserve(count)` is told first how many items to expect, for items of
// item_bytes each. The steps:
// 1. a str is refused;
// 2. an object without the sequence protocol is refused, naming Sequence;
// 3. its length is a hint only: when it cannot be had, none is given;
// 4. a hint whose buffer could not exist on this platform is a panic, "capacity
//    overflow"; a hint that cannot be reserved is ignored;
// 5. exact lists and tuples are read by index, as their iterators read them: the length
//    is looked at again before every item (visiting may run Python code that changes the
//    list), and each item is held while it is visited;
// 6. anything else is iterated, and an error ending the iteration is the failure.
template <class Reserve, class Visit>
Result<base::Done> read_sequence(Borrowed object, std::size_t item_bytes, Reserve reserve, Visit visit) {
  // 1. The message is fixed interface text, matched word for word by callers, however
  // oddly it reads here.
  if (PyUnicode_Check(object.get())) return fail(type_error("Can't extract `str` to `Vec`"));
  // 2.
  if (!PySequence_Check(object.get())) return fail(PyErr::cast_failure(object, sequence_type()));
  // 3.
  const bool exact = PyList_CheckExact(object.get()) || PyTuple_CheckExact(object.get());
  const Py_ssize_t hint = PyObject_Size(object.get());
  if (hint < 0) {
    PyErr::take();
  } else {
    // 4.
    const auto count = static_cast<std::size_t>(hint);
    if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / item_bytes)
      base::panic("capacity overflow");
    try {
      reserve(exact ? count : std::min(count, kUntrustedHintLimit));
    } catch (const std::bad_alloc&) {
      // The items themselves decide.
    }
  }
  // 5.
  if (exact) {
    PyObject* sequence = object.get();
    const bool is_list = PyList_CheckExact(sequence);
    for (Py_ssize_t i = 0;; ++i) {
      // On PyPy these are host calls, which can fail where the stack is nearly full.
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
      if (size < 0) return fail(PyErr::fetch());
      if (i >= size) break;
      PyObject* raw = is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
      if (!raw) return fail(PyErr::fetch());
      const Object item = Object::borrow(raw);
      if (auto visited = visit(item.borrowed()); !visited) return visited;
    }
    return base::Done{};
  }
  // 6.
  const Object iterator = Object::steal(PyObject_GetIter(object.get()));
  if (!iterator) return fail(PyErr::fetch());
  while (const Object item = Object::steal(PyIter_Next(iterator.get()))) {
    if (auto visited = visit(item.borrowed()); !visited) return visited;
  }
  if (auto failure = PyErr::take()) return fail(std::move(*failure));
  return base::Done{};
}

}  // namespace tarnix::py

// The class Vectorstore: constructor, methods, length, repr, getter and deallocation,
// each a typed body behind a trampoline, and the type specification that ties them up.
#include "python/vectorstore_class.hpp"

#include <new>  // placement new, std::bad_alloc
#include <optional>
#include <string>
#include <vector>

#include "core/parallel_search.hpp"
#include "core/search.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/final_class.hpp"
#include "python/float_buffer.hpp"
#include "python/text.hpp"
#include "python/trampoline.hpp"
#include "python/vectorstore_object.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kNewParameters[] = {"vector_size", "vectors"};
constexpr std::string_view kInsertParameters[] = {"vector", "id"};
constexpr std::string_view kSearchParameters[] = {"vector", "top_k"};
constexpr std::string_view kParallelSearchParameters[] = {"vector", "top_k", "n_threads"};

constexpr FunctionDescription kNew{"__new__", "Vectorstore", kNewParameters, 0, 1, {}};
constexpr FunctionDescription kInsert{"insert", "Vectorstore", kInsertParameters, 0, 2, {}};
constexpr FunctionDescription kSearch{"search", "Vectorstore", kSearchParameters, 0, 2, {}};
constexpr FunctionDescription kParallelSearch{"parallel_search", "Vectorstore", kParallelSearchParameters, 0, 2, {}};

// An optional parameter is absent when its slot is empty or holds None.
bool is_absent(PyObject* slot) { return slot == nullptr || slot == Py_None; }

// CPython refuses Vectorstore.__new__(X) for an X that is not a subtype of Vectorstore
// before we are called, with these messages; PyPy hands us any object, and an instance
// of another type has no room for a store.
Result<PyTypeObject*> checked_subtype(PyObject* subtype) {
  const std::string name = kClassName;
  if (!PyType_Check(subtype))
    return Err(PyErr::new_lazy([] { return PyExc_TypeError; },
                               name + ".__new__(X): X is not a type object (" +
                                   type_printed_name_text(Py_TYPE(subtype)) + ")"));
  auto type = vectorstore_type();
  if (!type) return type.take_error();
  auto* requested = reinterpret_cast<PyTypeObject*>(subtype);
  if (PyType_IsSubtype(requested, reinterpret_cast<PyTypeObject*>(type.value()))) return requested;
  const std::string requested_name = type_printed_name_text(requested);
  return Err(PyErr::new_lazy([] { return PyExc_TypeError; }, name + ".__new__(" + requested_name + "): " +
                                                                 requested_name + " is not a subtype of " + name));
}

Result<Object> new_body(PyObject* requested, PyObject* args, PyObject* kwargs) {
  auto subtype = checked_subtype(requested);
  if (!subtype) return subtype.take_error();
  PyObject* slots[2] = {};
  if (auto bound = extract_arguments_tuple_dict(kNew, args, kwargs, slots); !bound) return bound.take_error();
  auto vector_size = extract_argument(slots[0], "vector_size", to_size);
  if (!vector_size) return vector_size.take_error();
  core::Vectorstore store(vector_size.value());
  if (!is_absent(slots[1])) {
    auto pending = extract_argument(slots[1], "vectors", [&](Borrowed pairs) { return add_pairs(store, pairs); });
    if (!pending) return pending.take_error();
    if (pending.value().wrong_length) return Err(value_error(std::move(*pending.value().wrong_length)));
    if (pending.value().out_of_memory) throw std::bad_alloc();
  }

  Object no_arguments = new_or_panic(PyTuple_New(0));
  Object instance = Object::steal(PyBaseObject_Type.tp_new(subtype.value(), no_arguments.get(), nullptr));
  if (!instance) return Err(PyErr::fetch());
  auto* self = reinterpret_cast<PyVectorstore*>(instance.get());
  new (&self->store) core::Vectorstore(std::move(store));
  new (&self->borrow_flag) std::atomic<std::intptr_t>(0);
  return instance;
}

Result<Object> insert_body(Borrowed self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2] = {};
  if (auto bound = extract_arguments_fastcall(kInsert, args, nargs, kwnames, slots); !bound)
    return bound.take_error();
  // Held while converting, so that Python code run by the conversion cannot see a
  // half-inserted record.
  auto borrow = ExclusiveBorrow::take(self);
  if (!borrow) return borrow.take_error();
  // Converting an exact int id runs no Python code, so a float buffer can stay open
  // across it and be copied once, straight into the store; anything else is converted
  // first, as iteration would read it.
  std::optional<FloatBuffer> buffer;
  if (slots[1] && PyLong_CheckExact(slots[1])) buffer.emplace(Borrowed(slots[0]));
  std::vector<float> vector;
  if (!buffer || !buffer->readable()) {
    buffer.reset();
    auto converted = extract_argument(slots[0], "vector", to_float_vector);
    if (!converted) return converted.take_error();
    vector = converted.take_value();
  }
  auto id = extract_argument(slots[1], "id", to_u64);
  if (!id) return id.take_error();
  core::Vectorstore& store = borrow.value().store();
  auto inserted = buffer ? store.insert_written(buffer->size(), id.value(), [&](float* room) { buffer->copy_to(room); })
                         : store.insert(vector, id.value());
  if (!inserted) return Err(value_error(std::move(inserted.error())));
  return Object::borrow(Py_None);
}

// What both searches receive: the store borrowed for reading, then the query and top_k.
struct SearchRequest {
  SharedBorrow borrow;
  std::vector<float> query;
  core::Size top_k;
};

Result<SearchRequest> search_request(Borrowed self, PyObject* const* slots) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return borrow.take_error();
  auto query = extract_argument(slots[0], "vector", to_float_vector);
  if (!query) return query.take_error();
  auto top_k = extract_argument(slots[1], "top_k", to_size);
  if (!top_k) return top_k.take_error();
  return SearchRequest{borrow.take_value(), query.take_value(), top_k.value()};
}

Result<Object> search_body(Borrowed self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2] = {};
  if (auto bound = extract_arguments_fastcall(kSearch, args, nargs, kwnames, slots); !bound)
    return bound.take_error();
  auto request = search_request(self, slots);
  if (!request) return request.take_error();
  const SearchRequest& r = request.value();
  auto hits = core::search(r.borrow.store(), r.query, r.top_k);
  if (!hits) return Err(value_error(std::move(hits.error())));
  return from_hits(hits.value());
}

// Workers never touch Python objects; this thread keeps the interpreter lock throughout,
// waiting for them included.
Result<Object> parallel_search_body(Borrowed self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3] = {};
  if (auto bound = extract_arguments_fastcall(kParallelSearch, args, nargs, kwnames, slots); !bound)
    return bound.take_error();
  auto request = search_request(self, slots);
  if (!request) return request.take_error();
  std::optional<core::Size> n_threads;
  if (!is_absent(slots[2])) {
    auto given = extract_argument(slots[2], "n_threads", to_size);
    if (!given) return given.take_error();
    n_threads = given.value();
  }
  const SearchRequest& r = request.value();
  auto hits = core::parallel_search(r.borrow.store(), r.query, r.top_k, n_threads);
  if (!hits) return Err(value_error(std::move(hits.error())));
  return from_hits(hits.value());
}

Result<Py_ssize_t> length_body(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return borrow.take_error();
  return static_cast<Py_ssize_t>(borrow.value().store().size());
}

Result<Object> repr_body(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return borrow.take_error();
  const core::Vectorstore& store = borrow.value().store();
  return from_text("Vectorstore(vector_size=" + std::to_string(store.vector_size()) +
                   ", len=" + std::to_string(store.size()) + ")");
}

Result<Object> vector_size_body(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return borrow.take_error();
  return from_size(borrow.value().store().vector_size());
}

// Trampolines, one per calling convention.

// PyPy passes any object as the subtype; see checked_subtype.
PyObject* new_trampoline(PyObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return new_body(subtype, args, kwargs); });
}

template <Result<Object> (*Body)(Borrowed, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] { return Body(Borrowed(self), args, nargs, kwnames); });
}

Py_ssize_t length_trampoline(PyObject* self) noexcept {
  return guarded([&] { return length_body(Borrowed(self)); }, -1);
}

PyObject* repr_trampoline(PyObject* self) noexcept {
  return guarded([&] { return repr_body(Borrowed(self)); });
}

PyObject* vector_size_trampoline(PyObject* self, void* /*closure*/) noexcept {
  return guarded([&] { return vector_size_body(Borrowed(self)); });
}

void dealloc_trampoline(PyObject* self) noexcept {
  guarded_unraisable([&] { reinterpret_cast<PyVectorstore*>(self)->store.~Vectorstore(); });
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"insert", as_method(fastcall_trampoline<insert_body>), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, id)\n--\n\n"},
    {"search", as_method(fastcall_trampoline<search_body>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, top_k)\n--\n\n"},
    {"parallel_search", as_method(fastcall_trampoline<parallel_search_body>), METH_FASTCALL | METH_KEYWORDS,
     "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"},
    // Where the host enforces the class's flags, this entry is the end of the table.
    compat::kHostEnforcesClassFlags
        ? PyMethodDef{nullptr, nullptr, 0, nullptr}
        : PyMethodDef{"__init_subclass__", as_method(refuse_subclass_trampoline), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
                      nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"vector_size", vector_size_trampoline, nullptr, "", nullptr},
    compat::kHostEnforcesClassFlags ? PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}
                                    : PyGetSetDef{"__dict__", no_attribute_dict_trampoline, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Vectorstore(vector_size, vectors=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_trampoline)},
    {Py_mp_length, reinterpret_cast<void*>(length_trampoline)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_trampoline)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_trampoline)},
    compat::kHostEnforcesClassFlags ? PyType_Slot{0, nullptr}
                                    : PyType_Slot{Py_tp_setattro, reinterpret_cast<void*>(set_attribute_trampoline)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    kClassName,
    static_cast<int>(sizeof(PyVectorstore)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

Result<PyObject*> vectorstore_type() {
  // Created under the interpreter lock, once: a later call gets the same object.
  static PyObject* cached = nullptr;
  if (cached) return cached;
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return Err(PyErr::fetch());
  cached = created;
  return cached;
}

}  // namespace tarnix::py

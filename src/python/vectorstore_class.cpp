// The class Vectorstore: its type specification, the tables that tie each slot and
// method to its trampoline, and deallocation.
#include "python/vectorstore_class.hpp"

#include "python/compat.hpp"
#include "python/final_class.hpp"
#include "python/trampoline.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

// Releasing the store frees memory and nothing else: nothing here can fail or run Python
// code, so there is nothing to guard or to report.
void dealloc(PyObject* self) noexcept {
  reinterpret_cast<PyVectorstore*>(self)->store.~Vectorstore();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;

// Where the host enforces the class's flags, the entries of final_class.hpp are left out:
// the first sentinel ends each table.
PyMethodDef kMethods[] = {
    {"insert", as_method(fastcall_trampoline<insert_wrapper>), kMethodFlags, "insert($self, vector, id)\n--\n\n"},
    {"insert_many", as_method(fastcall_trampoline<insert_many_wrapper>), kMethodFlags,
     "insert_many($self, vectors, ids)\n--\n\n"},
    {"search", as_method(fastcall_trampoline<search_wrapper>), kMethodFlags, "search($self, vector, top_k)\n--\n\n"},
    {"parallel_search", as_method(fastcall_trampoline<parallel_search_wrapper>), kMethodFlags,
     "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"},
    {"search_many", as_method(fastcall_trampoline<search_many_wrapper>), kMethodFlags,
     "search_many($self, vectors, top_k, n_threads=None, *, as_arrays=False)\n--\n\n"},
    {"save", as_method(fastcall_trampoline<save_wrapper>), kMethodFlags, "save($self, path)\n--\n\n"},
    {"load", as_method(fastcall_trampoline<load_wrapper>), kMethodFlags | METH_CLASS,
     "load($type, path, *, mmap=False)\n--\n\n"},
    {"__reduce_ex__", as_method(fastcall_trampoline<reduce_ex_wrapper>), kMethodFlags,
     "__reduce_ex__($self, protocol)\n--\n\n"},
    {"vectors", as_method(fastcall_trampoline<vectors_wrapper>), kMethodFlags, "vectors($self)\n--\n\n"},
    {"ids", as_method(fastcall_trampoline<ids_wrapper>), kMethodFlags, "ids($self)\n--\n\n"},
    {"build_sketch", as_method(fastcall_trampoline<build_sketch_wrapper>), kMethodFlags,
     "build_sketch($self)\n--\n\n"},
    {"drop_sketch", as_method(fastcall_trampoline<drop_sketch_wrapper>), kMethodFlags, "drop_sketch($self)\n--\n\n"},
    compat::kHostEnforcesClassFlags
        ? PyMethodDef{nullptr, nullptr, 0, nullptr}
        : PyMethodDef{"__init_subclass__", as_method(varargs_trampoline<refuse_subclass_wrapper>),
                      METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"vector_size", getter_trampoline<vector_size_wrapper>,
     compat::kHostEnforcesClassFlags ? nullptr : setter_trampoline<read_only_vector_size_wrapper>, "", nullptr},
    {"has_sketch", getter_trampoline<has_sketch_wrapper>,
     compat::kHostEnforcesClassFlags ? nullptr : setter_trampoline<read_only_has_sketch_wrapper>, "", nullptr},
    compat::kHostEnforcesClassFlags
        ? PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}
        : PyGetSetDef{"__dict__", getter_trampoline<no_attribute_dict_wrapper>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Vectorstore(vector_size, vectors=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_trampoline<new_wrapper>)},
    {Py_mp_length, reinterpret_cast<void*>(length_trampoline<length_wrapper>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_trampoline<repr_wrapper>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    compat::kHostEnforcesClassFlags
        ? PyType_Slot{0, nullptr}
        : PyType_Slot{Py_tp_setattro, reinterpret_cast<void*>(setattr_trampoline<set_attribute_wrapper>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = kClassName,
    .basicsize = static_cast<int>(sizeof(PyVectorstore)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

}  // namespace

Result<PyObject*> vectorstore_type() {
  // Created under the interpreter lock, once: a later call gets the same object.
  static PyObject* cached = nullptr;
  if (cached) return cached;
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return fail(PyErr::fetch());
  cached = created;
  return cached;
}

}  // namespace tarnix::py

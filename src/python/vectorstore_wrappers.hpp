// The wrappers behind the class's trampolines: each binds its arguments, checks and
// borrows the receiver, converts the arguments in order, calls the core and converts
// the result back.
#pragma once

#include "python/binding.hpp"
#include "python/error.hpp"

namespace tarnix::py {

// Vectorstore(vector_size, vectors=None), for the requested subtype.
Result<Object> new_wrapper(PyObject* subtype, PyObject* args, PyObject* kwargs);

Result<Object> insert_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> search_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> parallel_search_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> search_many_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> save_wrapper(Borrowed self, const FastcallArguments& call);
// A class method: `cls` is the class it was called on.
Result<Object> load_wrapper(Borrowed cls, const FastcallArguments& call);
Result<Object> reduce_ex_wrapper(Borrowed self, const FastcallArguments& call);
// The module function tarnix._rebuild_vectorstore(image), which unpickling calls.
Result<Object> rebuild_vectorstore_wrapper(Borrowed module, const FastcallArguments& call);
Result<Object> insert_many_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> vectors_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> ids_wrapper(Borrowed self, const FastcallArguments& call);
Result<Py_ssize_t> length_wrapper(Borrowed self);
Result<Object> repr_wrapper(Borrowed self);
Result<Object> vector_size_wrapper(Borrowed self);

// The sketch (vectorstore_sketch.cpp).
Result<Object> build_sketch_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> drop_sketch_wrapper(Borrowed self, const FastcallArguments& call);
Result<Object> has_sketch_wrapper(Borrowed self);
Result<int> read_only_has_sketch_wrapper(Borrowed self, PyObject* value);

}  // namespace tarnix::py

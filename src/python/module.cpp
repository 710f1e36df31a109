// The module tarnix: its only export, its execution step and the function cosine_similarity.
#include "core/kernel.hpp"
#include "core/panic.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/trampoline.hpp"
#include "python/vectorstore_class.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kCosineParameters[] = {"vec1", "vec2"};
constexpr FunctionDescription kCosine{"cosine_similarity", "", kCosineParameters, 0, 2, {}};

Result<Object> cosine_similarity_py(Borrowed /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* slots[2] = {};
  if (auto bound = extract_arguments_fastcall(kCosine, args, nargs, kwnames, slots); !bound)
    return bound.take_error();
  auto vec1 = extract_argument(slots[0], "vec1", to_float_vector);
  if (!vec1) return vec1.take_error();
  auto vec2 = extract_argument(slots[1], "vec2", to_float_vector);
  if (!vec2) return vec2.take_error();
  auto similarity = core::checked_cosine_similarity(vec1.value(), vec2.value());
  if (!similarity) return Err(value_error(std::move(similarity.error())));
  return from_f32(similarity.value());
}

PyObject* cosine_similarity_trampoline(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  return guarded([&] { return cosine_similarity_py(Borrowed(module), args, nargs, kwnames); });
}

PyMethodDef kCosineDefinition = {
    "cosine_similarity",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cosine_similarity_trampoline)),
    METH_FASTCALL | METH_STATIC | METH_KEYWORDS,
    "cosine_similarity(vec1, vec2)\n--\n\n",
};

// The module's __all__, created empty when the module has none.
Result<Object> all_list(Borrowed module) {
  Object all = Object::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    PyErr missing = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(missing.type(), PyExc_AttributeError)) return Err(std::move(missing));
    all = new_or_panic(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return Err(PyErr::fetch());
  }
  if (!PyList_Check(all.get())) return Err(PyErr::cast_failure(all.borrowed(), reinterpret_cast<PyObject*>(&PyList_Type)));
  return all;
}

Result<core::Done> add(Borrowed module, Borrowed name, Borrowed value) {
  auto all = all_list(module);
  if (!all) return all.take_error();
  if (PyList_Append(all.value().get(), name.get()) != 0)
    core::panic("could not append __name__ to __all__: " + PyErr::fetch().describe());
  if (PyObject_SetAttr(module.get(), name.get(), value.get()) != 0) return Err(PyErr::fetch());
  return core::Done{};
}

Result<core::Done> add_class(Borrowed module) {
  auto type = vectorstore_type();
  if (!type) {
    PyErr failure = PyErr::new_lazy([] { return PyExc_RuntimeError; },
                                    "An error occurred while initializing class Vectorstore");
    failure.set_cause(std::move(type.error()));
    return Err(std::move(failure));
  }
  Object name = from_text("Vectorstore");
  return add(module, name.borrowed(), Borrowed(type.value()));
}

Result<core::Done> add_function(Borrowed module) {
  Object module_name = Object::steal(compat::module_name_object(module.get()));
  if (!module_name) return Err(PyErr::fetch());
  Object function = Object::steal(PyCMethod_New(&kCosineDefinition, module.get(), module_name.get(), nullptr));
  if (!function) return Err(PyErr::fetch());
  Object name = Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return Err(PyErr::fetch());
  if (!PyUnicode_Check(name.get()))
    return Err(PyErr::cast_failure(name.borrowed(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  return add(module, name.borrowed(), function.borrowed());
}

Result<int> exec_body(PyObject* module) {
  if (!module) return Err(PyErr::fetch());
  if (!PyModule_Check(module))
    return Err(PyErr::cast_failure(Borrowed(module), reinterpret_cast<PyObject*>(&PyModule_Type)));
  if (auto added = add_class(Borrowed(module)); !added) return added.take_error();
  if (auto added = add_function(Borrowed(module)); !added) return added.take_error();
  return 0;
}

int exec_trampoline(PyObject* module) noexcept {
  return guarded([&] { return exec_body(module); }, -1);
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_trampoline)},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "tarnix",
    "",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnix::py

// PyMODINIT_FUNC already gives C linkage and default visibility in C++.
PyMODINIT_FUNC PyInit_tarnix() { return PyModuleDef_Init(&tarnix::py::kDefinition); }

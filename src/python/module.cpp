// The module tarnix: its only export, its execution step and the function cosine_similarity.
#include "core/cosine.hpp"
#include "core/kernels.hpp"
#include "base/panic.hpp"
#include "python/binding.hpp"
#include "python/compat.hpp"
#include "python/convert.hpp"
#include "python/interpreter_side.hpp"
#include "python/trampoline.hpp"
#include "python/vectorstore_class.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kCosineParameters[] = {"vec1", "vec2"};
constexpr FunctionDescription kCosine{
    .function_name = "cosine_similarity",
    .positional_names = kCosineParameters,
    .required_positional_count = 2,
};

Result<Object> cosine_similarity_py(Borrowed /*module*/, const FastcallArguments& call) {
  auto bound = bind<kCosine>(call);
  if (!bound) return fail(bound.take_error());
  const auto [vec1_argument, vec2_argument] = bound.value();
  const auto convert = [](Borrowed o) { return to_float_vector(o); };
  auto vec1 = extract_argument(vec1_argument, "vec1", convert);
  if (!vec1) return fail(vec1.take_error());
  auto vec2 = extract_argument(vec2_argument, "vec2", convert);
  if (!vec2) return fail(vec2.take_error());
  auto similarity = core::checked_cosine_similarity(vec1.take_value().take_floats(), vec2.take_value().take_floats());
  if (!similarity) return fail(value_error(std::move(similarity.error().message)));
  return from_f32(similarity.value());
}

PyMethodDef kCosineDefinition = {
    .ml_name = "cosine_similarity",
    .ml_meth = as_method(fastcall_trampoline<cosine_similarity_py>),
    .ml_flags = METH_FASTCALL | METH_STATIC | METH_KEYWORDS,
    .ml_doc = "cosine_similarity(vec1, vec2)\n--\n\n",
};

PyMethodDef kRebuildDefinition = {
    .ml_name = "_rebuild_vectorstore",
    .ml_meth = as_method(fastcall_trampoline<rebuild_vectorstore_wrapper>),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "_rebuild_vectorstore(image)\n--\n\n",
};

// The module's __all__, created empty when the module has none.
Result<Object> all_list(Borrowed module) {
  Object all = Object::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    PyErr missing = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(missing.type(), PyExc_AttributeError)) return fail(std::move(missing));
    all = new_or_panic(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return fail(PyErr::fetch());
  }
  if (!PyList_Check(all.get()))
    return fail(PyErr::cast_failure(all.borrowed(), reinterpret_cast<PyObject*>(&PyList_Type)));
  return all;
}

Result<base::Done> add(Borrowed module, Borrowed name, Borrowed value) {
  auto all = all_list(module);
  if (!all) return fail(all.take_error());
  if (PyList_Append(all.value().get(), name.get()) != 0)
    base::panic("could not append __name__ to __all__: " + PyErr::fetch().describe());
  if (PyObject_SetAttr(module.get(), name.get(), value.get()) != 0) return fail(PyErr::fetch());
  return base::Done{};
}

Result<base::Done> add_class(Borrowed module) {
  auto type = vectorstore_type();
  if (!type) {
    PyErr failure = runtime_error("An error occurred while initializing class Vectorstore");
    failure.set_cause(type.take_error());
    return fail(std::move(failure));
  }
  const Object name = from_text("Vectorstore");
  return add(module, name.borrowed(), Borrowed(type.value()));
}

// A function of the module; a public one is listed in __all__.
Result<base::Done> add_function(Borrowed module, PyMethodDef& definition, bool is_public) {
  const Object module_name = Object::steal(compat::module_name_object(module.get()));
  if (!module_name) return fail(PyErr::fetch());
  const Object function = Object::steal(PyCMethod_New(&definition, module.get(), module_name.get(), nullptr));
  if (!function) return fail(PyErr::fetch());
  const Object name = Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return fail(PyErr::fetch());
  if (!PyUnicode_Check(name.get()))
    return fail(PyErr::cast_failure(name.borrowed(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  if (!is_public) {
    if (PyObject_SetAttr(module.get(), name.get(), function.get()) != 0) return fail(PyErr::fetch());
    return base::Done{};
  }
  return add(module, name.borrowed(), function.borrowed());
}

Result<int> exec_module(PyObject* module) {
  if (!module) return fail(PyErr::fetch());
  if (!PyModule_Check(module))
    return fail(PyErr::cast_failure(Borrowed(module), reinterpret_cast<PyObject*>(&PyModule_Type)));
  // A kernel path forced by name that cannot be had fails the import, not a later call.
  if (auto kernels = core::chosen_kernels(); !kernels) return fail(runtime_error(kernels.take_error()));
  if (auto prepared = interpreter_side::prepare(); !prepared) return fail(prepared.take_error());
  if (auto added = add_class(Borrowed(module)); !added) return fail(added.take_error());
  if (auto added = add_function(Borrowed(module), kCosineDefinition, true); !added) return fail(added.take_error());
  // What unpickling a store calls, by this name (see Vectorstore.__reduce_ex__).
  if (auto added = add_function(Borrowed(module), kRebuildDefinition, false); !added)
    return fail(added.take_error());
  // The distribution's version, so that a program can tell which build it loaded; a
  // dunder name, outside __all__.
  const Object version = from_text(TARNIX_VERSION);
  if (PyObject_SetAttrString(module, "__version__", version.get()) != 0) return fail(PyErr::fetch());
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_trampoline<exec_module>)},
    compat::kOneInterpreterOnlySlot,
    {0, nullptr},
};

PyModuleDef kDefinition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnix",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = kModuleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tarnix::py

PyMODINIT_FUNC PyInit_tarnix() { return PyModuleDef_Init(&tarnix::py::kDefinition); }

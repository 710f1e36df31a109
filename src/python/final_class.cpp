// Refusing subclasses and instance attributes, with the messages CPython gives for them.
#include "python/final_class.hpp"

#include <string>

#include "base/panic.hpp"
#include "python/host_code.hpp"
#include "python/text.hpp"
#include "python/vectorstore_class.hpp"

namespace tarnix::py {
namespace {

// Where a class along the type's method resolution order has the name: 0 nowhere, 1 as
// a plain attribute, 2 as a data descriptor. Run inside the interpreter, because PyPy
// crashes handing C code the descriptors of a class defined in C.
constexpr const char* kAttributeKindSource = R"(
def attribute_kind(cls, name):
    for base in cls.__mro__:
        if name in base.__dict__:
            return 2 if hasattr(type(base.__dict__[name]), "__set__") else 1
    return 0
)";

// The function defined by kAttributeKindSource, made once and kept. Borrowed.
Result<PyObject*> attribute_kind_function() {
  static PyObject* cached = nullptr;
  if (cached) return cached;
  auto defined = run_host_code(kAttributeKindSource);
  if (!defined) return fail(defined.take_error());
  cached = Object::borrow(host_function(defined.value().borrowed(), "attribute_kind")).release();
  return cached;
}

Result<long> attribute_kind(PyTypeObject* type, PyObject* name) {
  auto function = attribute_kind_function();
  if (!function) return fail(function.take_error());
  const Object kind =
      Object::steal(PyObject_CallFunctionObjArgs(function.value(), reinterpret_cast<PyObject*>(type), name, nullptr));
  if (!kind) return fail(PyErr::fetch());
  const long value = PyLong_AsLong(kind.get());
  if (value == -1) {
    if (auto failure = PyErr::take()) return fail(std::move(*failure));
  }
  return value;
}

}  // namespace

Result<int> set_attribute_wrapper(Borrowed self, PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name))
    return fail(type_error("attribute name must be string, not '" + type_printed_name_text(Py_TYPE(name)) + "'"));
  const std::string text = to_string_lossy(Borrowed(name));
  // The __dict__ entry only answers reads; for everything else there is no __dict__.
  Result<long> kind = text == "__dict__" ? Result<long>(0) : attribute_kind(self.type(), name);
  if (!kind) return fail(kind.take_error());
  if (kind.value() == 2) {
    if (PyObject_GenericSetAttr(self.get(), name, value) != 0) return fail(PyErr::fetch());
    return 0;
  }
  if (kind.value() == 1) return fail(attribute_error("'" + std::string(kClassName) + "' object attribute '" + text + "' is read-only"));
  return fail(attribute_error("'" + std::string(kClassName) + "' object has no attribute '" + text + "'"));
}

Result<Object> refuse_subclass_wrapper(Borrowed /*cls*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return fail(type_error("type '" + std::string(kClassName) + "' is not an acceptable base type"));
}

Result<Object> no_attribute_dict_wrapper(Borrowed /*self*/) {
  return fail(attribute_error("'" + std::string(kClassName) + "' object has no attribute '__dict__'"));
}

}  // namespace tarnix::py

// Refusing subclasses and instance attributes, with the messages CPython gives for them.
#include "python/final_class.hpp"

#include <string>

#include "python/interpreter_side.hpp"
#include "python/text.hpp"
#include "python/vectorstore_class.hpp"

namespace tarnix::py {

Result<int> set_attribute_wrapper(Borrowed self, PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name))
    return fail(type_error("attribute name must be string, not '" + type_printed_name_text(Py_TYPE(name)) + "'"));
  const std::string text = to_string_lossy(Borrowed(name));
  // The __dict__ entry only answers reads; for everything else there is no __dict__.
  using interpreter_side::AttributeKind;
  Result<AttributeKind> kind = text == "__dict__" ? Result<AttributeKind>(AttributeKind::none)
                                                  : interpreter_side::attribute_kind(self.type(), name);
  if (!kind) return fail(kind.take_error());
  if (kind.value() == AttributeKind::data_descriptor) {
    if (PyObject_GenericSetAttr(self.get(), name, value) != 0) return fail(PyErr::fetch());
    return 0;
  }
  if (kind.value() == AttributeKind::plain) return fail(attribute_error("'" + std::string(kClassName) + "' object attribute '" + text + "' is read-only"));
  return fail(attribute_error("'" + std::string(kClassName) + "' object has no attribute '" + text + "'"));
}

Result<Object> refuse_subclass_wrapper(Borrowed /*cls*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return fail(type_error("type '" + std::string(kClassName) + "' is not an acceptable base type"));
}

Result<int> read_only_vector_size_wrapper(Borrowed /*self*/, PyObject* /*value*/) {
  return fail(attribute_error("attribute 'vector_size' of '" + std::string(kClassName) + "' objects is not writable"));
}

Result<Object> no_attribute_dict_wrapper(Borrowed /*self*/) {
  return fail(attribute_error("'" + std::string(kClassName) + "' object has no attribute '__dict__'"));
}

}  // namespace tarnix::py

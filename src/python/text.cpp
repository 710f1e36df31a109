// Text of Python objects.
#include "python/text.hpp"

#include "base/panic.hpp"
#include "python/error.hpp"

namespace tarnix::py {
namespace {

std::string format_with(Borrowed object, PyObject* (*to_text)(PyObject*)) {
  Object text = Object::steal(to_text(object.get()));
  if (text) return to_string_lossy(text.borrowed());
  PyErr::fetch().write_unraisable(object.get());
  Object name = Object::steal(compat::type_name(object.type()));
  if (name && PyUnicode_Check(name.get()))
    return "<unprintable " + to_string_lossy(name.borrowed()) + " object>";
  PyErr::take();  // the name could not be read either: that error is dropped
  return "<unprintable object>";
}

std::string name_text(PyObject* name) {
  const Object owned = Object::steal(name);
  if (owned && PyUnicode_Check(owned.get())) return to_string_lossy(owned.borrowed());
  PyErr::take();
  return "<failed to extract type name>";
}

}  // namespace

std::string to_string_lossy(Borrowed str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size))
    return std::string(utf8, static_cast<std::size_t>(size));
  PyErr::take();  // lone surrogates have no UTF-8 form: go the long way round
  // The host's decoder replaces each maximal invalid subpart with one U+FFFD.
  const Object bytes = new_or_panic(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  const Object replaced = new_or_panic(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                            PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(replaced.get(), &size);
  base::check(utf8 != nullptr, "a replaced string has no UTF-8 form");
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string str_text(Borrowed object) { return format_with(object, PyObject_Str); }

std::string repr_text(Borrowed object) { return format_with(object, PyObject_Repr); }

std::string type_qualname_text(PyTypeObject* type) { return name_text(compat::type_qualname(type)); }

std::string type_printed_name_text(PyTypeObject* type) { return name_text(compat::type_printed_name(type)); }

}  // namespace tarnix::py

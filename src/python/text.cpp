// Text of Python objects.
#include "python/text.hpp"

#include "python/error.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is invalid;
// `subpart` receives the length of the maximal invalid subpart in that case.
std::size_t valid_sequence_length(std::string_view s, std::size_t& subpart) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  subpart = 1;
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= s.size()) return 0;
    const unsigned char b = byte(i);
    const bool fits = i == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    if (!fits) return 0;
    subpart = i + 1;
  }
  return length;
}

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

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t subpart = 1;
    const std::size_t length = valid_sequence_length(bytes, subpart);
    if (length) {
      out.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    } else {
      out.append(kReplacement);
      bytes.remove_prefix(std::min(subpart, bytes.size()));
    }
  }
  return out;
}

std::string to_string_lossy(Borrowed str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size))
    return std::string(utf8, static_cast<std::size_t>(size));
  PyErr::take();  // lone surrogates have no UTF-8 form: go the long way round
  Object bytes = new_or_panic(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  return decode_utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string python_format(Borrowed object) { return format_with(object, PyObject_Str); }

std::string python_repr(Borrowed object) { return format_with(object, PyObject_Repr); }

namespace {

std::string name_text(PyObject* name) {
  const Object owned = Object::steal(name);
  if (owned && PyUnicode_Check(owned.get())) return to_string_lossy(owned.borrowed());
  PyErr::take();
  return "<failed to extract type name>";
}

}  // namespace

std::string type_qualname_text(PyTypeObject* type) { return name_text(compat::type_qualname(type)); }

std::string type_printed_name_text(PyTypeObject* type) { return name_text(compat::type_printed_name(type)); }

}  // namespace tarnix::py

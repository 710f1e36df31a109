// Text of Python objects: lossy UTF-8 of a str, str() and repr() with fallbacks, type names.
#pragma once

#include <string>
#include <string_view>

#include "python/object.hpp"

namespace tarnix::py {

// UTF-8 of a str; lone surrogates become U+FFFD, one per maximal invalid subpart.
std::string to_string_lossy(Borrowed str);

// str(object); if that fails it is reported as unraisable and
// "<unprintable T object>" (or "<unprintable object>") stands in.
std::string str_text(Borrowed object);
// repr(object), with the same fallback.
std::string repr_text(Borrowed object);

// The type's qualified name, or "<failed to extract type name>".
std::string type_qualname_text(PyTypeObject* type);
// The name CPython prints for a type in its own messages, with the same stand-in.
std::string type_printed_name_text(PyTypeObject* type);

}  // namespace tarnix::py

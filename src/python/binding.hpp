// Argument binding: matching the interpreter's arguments to each callable's declared parameters.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "python/error.hpp"

namespace tarnix::py {

struct KeywordOnlyParameterDescription {
  std::string_view name;
  bool required;
};

// The constant description of one callable's parameters.
struct FunctionDescription {
  std::string_view function_name;
  std::string_view class_name;  // empty for module functions
  std::span<const std::string_view> positional_names;
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameterDescription> keyword_only;

  // "Class.function()" or "function()", at the head of every binding message.
  std::string full_name() const;
};

// Output slots: one per positional parameter, then one per keyword-only parameter, all
// null on entry; a filled slot holds a reference borrowed from the call's arguments.
using Slots = std::span<PyObject*>;

// The vector calling form: `args` holds nargs positional values, then one value per
// name in the `kwnames` tuple (null when no keywords were passed).
Result<core::Done> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames, Slots slots);

// The tuple-and-dictionary calling form; `kwargs` may be null.
Result<core::Done> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                                PyObject* kwargs, Slots slots);

// A conversion's TypeError, relabelled "argument 'name': ..."; any other error unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Converts one bound argument, labelling a failure with the parameter's name.
template <class Convert>
auto extract_argument(PyObject* argument, std::string_view name, Convert convert)
    -> decltype(convert(Borrowed(argument))) {
  auto converted = convert(Borrowed(argument));
  if (!converted) return Err(argument_extraction_error(name, std::move(converted.error())));
  return converted;
}

}  // namespace tarnix::py

// Argument binding: matching the interpreter's arguments to each callable's declared parameters.
#pragma once

#include <array>
#include <cstddef>
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
  std::string_view function_name = {};
  std::string_view class_name = {};  // empty for module functions
  std::span<const std::string_view> positional_names = {};
  std::size_t positional_only_count = 0;
  std::size_t required_positional_count = 0;
  std::span<const KeywordOnlyParameterDescription> keyword_only = {};

  constexpr std::size_t slot_count() const { return positional_names.size() + keyword_only.size(); }
  // "Class.function()" or "function()", at the head of every binding message.
  std::string full_name() const;
};

// The arguments of the vector calling form: `args` holds nargs positional values, then
// one value per name in the `kwnames` tuple (null when no keywords were passed).
struct FastcallArguments {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// One slot per positional parameter, then one per keyword-only parameter; a filled slot
// holds a reference borrowed from the call's arguments, an empty one is null.
template <const FunctionDescription& kDescription>
using BoundArguments = std::array<PyObject*, kDescription.slot_count()>;

Result<base::Done> extract_arguments_fastcall(const FunctionDescription& description, const FastcallArguments& call,
                                              std::span<PyObject*> slots);

// The tuple-and-dictionary calling form; `kwargs` may be null.
Result<base::Done> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                                PyObject* kwargs, std::span<PyObject*> slots);

template <const FunctionDescription& kDescription>
Result<BoundArguments<kDescription>> bind(const FastcallArguments& call) {
  BoundArguments<kDescription> slots{};
  if (auto bound = extract_arguments_fastcall(kDescription, call, slots); !bound) return fail(bound.take_error());
  return slots;
}

template <const FunctionDescription& kDescription>
Result<BoundArguments<kDescription>> bind(PyObject* args, PyObject* kwargs) {
  BoundArguments<kDescription> slots{};
  if (auto bound = extract_arguments_tuple_dict(kDescription, args, kwargs, slots); !bound)
    return fail(bound.take_error());
  return slots;
}

// An optional parameter is absent when its slot is empty or holds None.
inline bool is_absent(PyObject* slot) { return slot == nullptr || slot == Py_None; }

// A conversion's TypeError, relabelled "argument 'name': ..."; any other error unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Converts one bound argument, labelling a failure with the parameter's name.
template <class Convert>
auto extract_argument(PyObject* argument, std::string_view name, Convert convert)
    -> decltype(convert(Borrowed(argument))) {
  auto converted = convert(Borrowed(argument));
  if (!converted) return fail(argument_extraction_error(name, converted.take_error()));
  return converted;
}

}  // namespace tarnix::py

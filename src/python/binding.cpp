// Argument binding and its failure messages.
#include "python/binding.hpp"

#include <algorithm>  // std::min
#include <vector>

#include "python/text.hpp"

namespace tarnix::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, const std::vector<std::string_view>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ",";
      message += i + 1 == names.size() ? " and " : " ";
    }
    message += "'";
    message += names[i];
    message += "'";
  }
}

PyErr too_many_positional_arguments(const FunctionDescription& d, std::size_t given) {
  const std::size_t n = d.positional_names.size();
  const std::string range = d.required_positional_count == n
                                ? std::to_string(n)
                                : "from " + std::to_string(d.required_positional_count) + " to " + std::to_string(n);
  return type_error(d.full_name() + " takes " + range + " positional arguments but " + std::to_string(given) +
                    (given == 1 ? " was" : " were") + " given");
}

PyErr unexpected_keyword_argument(const FunctionDescription& d, PyObject* name) {
  return type_error(d.full_name() + " got an unexpected keyword argument '" + str_text(Borrowed(name)) + "'");
}

PyErr multiple_values_for_argument(const FunctionDescription& d, std::string_view name) {
  return type_error(d.full_name() + " got multiple values for argument '" + std::string(name) + "'");
}

PyErr positional_only_keyword_arguments(const FunctionDescription& d, const std::vector<std::string_view>& names) {
  std::string message = d.full_name() + " got some positional-only arguments passed as keyword arguments: ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

PyErr missing_required_arguments(const FunctionDescription& d, std::string_view kind,
                                 const std::vector<std::string_view>& names) {
  std::string message = d.full_name() + " missing " + std::to_string(names.size()) + " required " +
                        std::string(kind) + (names.size() == 1 ? " argument" : " arguments") + ": ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

// Binds arguments to slots; the two calling forms differ only in how they hand them over.
// Both bind in these steps:
// 1. positional arguments into the first slots; more than there are parameters fails;
// 2. keywords one by one in the order given, each by the keyword steps below;
// 3. positional-only parameters named by keyword fail, all together;
// 4. a required positional parameter left empty fails, all such together;
// 5. a required keyword-only parameter left empty fails, all such together;
// 6. success.
// One keyword, by name:
// K1. a name without UTF-8 text is unexpected;
// K2. a keyword-only parameter of that name takes the value;
// K3. else a positional parameter of that name does, unless it is positional-only;
// K4. else the name is unexpected.
// A slot that already holds a value is a duplicate.
class Binder {
 public:
  Binder(const FunctionDescription& description, std::span<PyObject*> slots) : d_(description), slots_(slots) {}

  Result<base::Done> positional(PyObject* const* values, std::size_t given) {
    // 1.
    const std::size_t n = d_.positional_names.size();
    if (values) {
      for (std::size_t i = 0; i < std::min(n, given); ++i) slots_[i] = values[i];
    }
    if (given > n) return fail(too_many_positional_arguments(d_, given));
    return base::Done{};
  }

  Result<base::Done> keyword(PyObject* name, PyObject* value) {
    // K1.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!utf8) {
      PyErr::take();
      return fail(unexpected_keyword_argument(d_, name));
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const std::size_t n = d_.positional_names.size();
    // K2.
    for (std::size_t j = 0; j < d_.keyword_only.size(); ++j) {
      if (d_.keyword_only[j].name == text) return fill(n + j, value, text);
    }
    // K3.
    for (std::size_t i = 0; i < n; ++i) {
      if (d_.positional_names[i] != text) continue;
      if (i < d_.positional_only_count) {
        positional_only_names_.push_back(d_.positional_names[i]);
        return base::Done{};
      }
      return fill(i, value, text);
    }
    // K4.
    return fail(unexpected_keyword_argument(d_, name));
  }

  Result<base::Done> finish(std::size_t given) {
    // 3.
    if (!positional_only_names_.empty()) return fail(positional_only_keyword_arguments(d_, positional_only_names_));
    // 4.
    std::vector<std::string_view> missing;
    for (std::size_t i = given; i < d_.required_positional_count; ++i) {
      if (!slots_[i]) missing.push_back(d_.positional_names[i]);
    }
    if (!missing.empty()) return fail(missing_required_arguments(d_, "positional", missing));
    // 5.
    const std::size_t n = d_.positional_names.size();
    for (std::size_t j = 0; j < d_.keyword_only.size(); ++j) {
      if (d_.keyword_only[j].required && !slots_[n + j]) missing.push_back(d_.keyword_only[j].name);
    }
    if (!missing.empty()) return fail(missing_required_arguments(d_, "keyword", missing));
    // 6.
    return base::Done{};
  }

 private:
  Result<base::Done> fill(std::size_t slot, PyObject* value, std::string_view name) {
    if (slots_[slot]) return fail(multiple_values_for_argument(d_, name));
    slots_[slot] = value;
    return base::Done{};
  }

  const FunctionDescription& d_;
  std::span<PyObject*> slots_;
  std::vector<std::string_view> positional_only_names_;
};

}  // namespace

std::string FunctionDescription::full_name() const {
  if (class_name.empty()) return std::string(function_name) + "()";
  return std::string(class_name) + "." + std::string(function_name) + "()";
}

Result<base::Done> extract_arguments_fastcall(const FunctionDescription& description, const FastcallArguments& call,
                                              std::span<PyObject*> slots) {
  Binder binder(description, slots);
  const auto given = static_cast<std::size_t>(call.nargs);
  if (auto bound = binder.positional(call.args, given); !bound) return bound;
  // 2.
  if (call.kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (auto bound = binder.keyword(PyTuple_GET_ITEM(call.kwnames, i), call.args[call.nargs + i]); !bound)
        return bound;
    }
  }
  return binder.finish(given);
}

Result<base::Done> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                                PyObject* kwargs, std::span<PyObject*> slots) {
  Binder binder(description, slots);
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (auto bound = binder.positional(&PyTuple_GET_ITEM(args, 0), given); !bound) return bound;
  // 2., in the dictionary's own order.
  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject *name = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (auto bound = binder.keyword(name, value); !bound) return bound;
    }
  }
  return binder.finish(given);
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
  // Only the exact TypeError is relabelled; its subclasses and other errors go as they are.
  if (!error.is_exactly(PyExc_TypeError)) return error;
  PyErr labelled = type_error("argument '" + std::string(name) + "': " + str_text(Borrowed(error.value())));
  labelled.set_cause(error.cause());
  return labelled;
}

}  // namespace tarnix::py

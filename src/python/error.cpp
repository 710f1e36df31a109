// PyErr: lazy and normalized errors, raising, taking, causes and unraisable reports.
#include "python/error.hpp"

#include <cerrno>

#include "base/panic.hpp"
#include "python/panic_exception.hpp"
#include "python/text.hpp"

namespace tarnix::py {
namespace {

Object make_str(const std::string& text) {
  return new_or_panic(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string cast_failure_message(PyObject* object_type, PyObject* expected_type) {
  const std::string expected = type_qualname_text(reinterpret_cast<PyTypeObject*>(expected_type));
  if (!object_type) return "'None' is not an instance of '" + expected + "'";
  return "'" + type_qualname_text(reinterpret_cast<PyTypeObject*>(object_type)) +
         "' object is not an instance of '" + expected + "'";
}

// Quotes text the way the error's text form shows a traceback: "..." with escapes.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string traceback_text(PyObject* traceback) {
  if (!traceback || traceback == Py_None) return "None";
  Object io = Object::steal(PyImport_ImportModule("io"));
  Object buffer = io ? Object::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : Object();
  if (buffer && PyTraceBack_Print(traceback, buffer.get()) == 0) {
    Object text = Object::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (text && PyUnicode_Check(text.get())) return "Some(" + quoted(to_string_lossy(text.borrowed())) + ")";
  }
  PyErr::fetch().write_unraisable(traceback);
  return "<unformattable " + repr_text(Borrowed(traceback)) + ">";
}

}  // namespace

PyErr PyErr::new_lazy(ExceptionTypeGetter type, std::optional<std::string> message) {
  return PyErr(Lazy{type, Text{std::move(message), false}});
}

PyErr PyErr::new_lazy_in_tuple(ExceptionTypeGetter type, std::string message) {
  return PyErr(Lazy{type, Text{std::move(message), true}});
}

PyErr PyErr::cast_failure(Borrowed object, PyObject* expected_type) {
  Object object_type = object.get() == Py_None
                           ? Object()
                           : Object::borrow(reinterpret_cast<PyObject*>(object.type()));
  return PyErr(Lazy{[] { return PyExc_TypeError; }, CastFailure{std::move(object_type), expected_type}});
}

// The interpreter's pending exception, fetched and normalized.
PyErr::Normalized PyErr::fetch_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return Normalized{Object::steal(type), Object::steal(value), Object::steal(traceback)};
}

// Normalizing a lazy error:
// 1. build the type and the argument (the builder's storage goes with `lazy`);
// 2. raise them, if the type is an exception class, else TypeError;
// 3. release both;
// 4. fetch the pending triple back in its normalized form;
// 5. it must have a type and a value.
PyErr::Normalized PyErr::normalize(Lazy lazy) {
  // 1.
  Object type = Object::borrow(lazy.type());
  Object argument;  // null: no argument at all
  if (auto* text = std::get_if<Text>(&lazy.argument)) {
    if (text->message) argument = make_str(*text->message);
    if (text->in_tuple) {
      Object tuple = new_or_panic(PyTuple_New(1));
      PyTuple_SET_ITEM(tuple.get(), 0, argument.release());
      argument = std::move(tuple);
    }
  } else {
    auto& cast = std::get<CastFailure>(lazy.argument);
    argument = make_str(cast_failure_message(cast.object_type.get(), cast.expected_type));
  }
  // 2.
  if (PyType_Check(type.get()) &&
      PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type.get()), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
    if (argument) {
      PyErr_SetObject(type.get(), argument.get());
    } else {
      PyErr_SetNone(type.get());
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  // 3.
  type = Object();
  argument = Object();
  // 4.
  Normalized result = fetch_pending();
  // 5.
  base::check(bool(result.type), "Exception type missing");
  base::check(bool(result.value), "Exception value missing");
  return result;
}

PyErr::Normalized& PyErr::normalized() {
  if (auto* done = std::get_if<Normalized>(&state_)) return *done;
  if (std::holds_alternative<Pending>(state_)) {
    state_ = fetch_pending();
    auto& taken = std::get<Normalized>(state_);
    base::check(bool(taken.value), "normalized exception value missing");
    return taken;
  }
  // Errors are owned by one thread at a time; the only way back in is re-entry
  // from within the normalization itself. These two panic messages, like the others of
  // this file, are fixed interface text: they are matched word for word.
  base::check(!normalizing_, "Re-entrant normalization of PyErrState detected");
  auto* lazy = std::get_if<Lazy>(&state_);
  base::check(lazy != nullptr, "Cannot normalize a PyErr while already normalizing it.");
  Lazy taken = std::move(*lazy);
  state_ = Invalid{};
  normalizing_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{normalizing_};
  state_ = normalize(std::move(taken));
  return std::get<Normalized>(state_);
}

std::optional<PyErr> PyErr::take() {
  PyObject* pending = PyErr_Occurred();
  if (!pending) return std::nullopt;
  // A panic of ours that travelled through Python code carries on as a panic. No
  // PanicException can be pending before its class exists.
  PyObject* panic_type = panic_exception_type_if_created();
  if (!panic_type || !PyErr_GivenExceptionMatches(pending, panic_type)) return PyErr(Pending{});
  Normalized taken = fetch_pending();
  base::check(bool(taken.value), "normalized exception value missing");
  if (reinterpret_cast<PyObject*>(Py_TYPE(taken.value.get())) == panic_type)
    resume_panic_from_python(std::move(taken.type), std::move(taken.value), std::move(taken.traceback));
  return PyErr(std::move(taken));
}

PyErr PyErr::fetch() {
  if (auto taken = take()) return std::move(*taken);
  return system_error("attempted to fetch exception but none was set");
}

PyErr::PyErr(PyErr&& other) noexcept : state_(std::move(other.state_)) { other.state_.emplace<Invalid>(); }

PyErr& PyErr::operator=(PyErr&& other) noexcept {
  if (this != &other) {
    PyErr dropped(std::move(*this));
    state_ = std::move(other.state_);
    other.state_.emplace<Invalid>();
  }
  return *this;
}

PyErr::~PyErr() {
  if (std::holds_alternative<Pending>(state_)) PyErr_Clear();
}

void PyErr::restore() && {
  base::check(!std::holds_alternative<Invalid>(state_),
              "PyErr state should never be invalid outside of normalization");
  if (std::holds_alternative<Pending>(state_)) {
    // Already where it must be; nothing else may have touched the indicator since.
    state_ = Invalid{};
    base::check(PyErr_Occurred() != nullptr, "a pending error was lost before it was raised");
    return;
  }
  Normalized& triple = normalized();
  PyErr_Restore(triple.type.release(), triple.value.release(), triple.traceback.release());
  state_ = Invalid{};
}

void PyErr::write_unraisable(PyObject* context) && {
  std::move(*this).restore();
  PyErr_WriteUnraisable(context);
}

PyObject* PyErr::type() { return normalized().type.get(); }

bool PyErr::is_exactly(PyObject* type) {
  // Normalizing can only turn the pending type into one of its subclasses.
  if (std::holds_alternative<Pending>(state_) && !PyErr_GivenExceptionMatches(type, PyErr_Occurred())) return false;
  return this->type() == type;
}
PyObject* PyErr::value() { return normalized().value.get(); }

Object PyErr::into_value() && {
  Normalized& triple = normalized();
  if (triple.traceback) PyException_SetTraceback(triple.value.get(), triple.traceback.get());
  return std::move(triple.value);
}

std::optional<PyErr> PyErr::cause() {
  Object cause = Object::steal(PyException_GetCause(value()));
  if (!cause) return std::nullopt;
  Object type = Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())));
  Object traceback = Object::steal(PyException_GetTraceback(cause.get()));
  return PyErr(Normalized{std::move(type), std::move(cause), std::move(traceback)});
}

void PyErr::set_cause(std::optional<PyErr> cause) {
  PyObject* cause_value = cause ? std::move(*cause).into_value().release() : nullptr;
  PyException_SetCause(value(), cause_value);  // steals the cause
}

std::string PyErr::describe() {
  Normalized& triple = normalized();
  return "PyErr { type: " + repr_text(triple.type.borrowed()) +
         ", value: " + repr_text(triple.value.borrowed()) +
         ", traceback: " + traceback_text(triple.traceback.get()) + " }";
}

PyErr type_error(std::string message) { return PyErr::new_lazy([] { return PyExc_TypeError; }, std::move(message)); }

PyErr value_error(std::string message) { return PyErr::new_lazy([] { return PyExc_ValueError; }, std::move(message)); }

PyErr overflow_error(std::string message) {
  return PyErr::new_lazy([] { return PyExc_OverflowError; }, std::move(message));
}

PyErr runtime_error(std::string message) {
  return PyErr::new_lazy([] { return PyExc_RuntimeError; }, std::move(message));
}

PyErr attribute_error(std::string message) {
  return PyErr::new_lazy([] { return PyExc_AttributeError; }, std::move(message));
}

PyErr system_error(std::string message) {
  return PyErr::new_lazy([] { return PyExc_SystemError; }, std::move(message));
}

PyErr memory_error() { return PyErr::new_lazy([] { return PyExc_MemoryError; }, std::nullopt); }

PyErr os_error(int error_number, Borrowed filename) {
  errno = error_number;
  // Built by the interpreter itself, so that every field is as its own OSErrors have it;
  // taken back out of the indicator at once.
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
  return PyErr::fetch();
}

Object new_or_panic(PyObject* object) {
  if (object) return Object::steal(object);
  if (auto pending = PyErr::take()) std::move(*pending).write_unraisable(nullptr);
  base::panic("PyObject pointer is null");
}

}  // namespace tarnix::py

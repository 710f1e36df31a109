// Saving, loading and pickling stores: paths and payloads converted and checked here, the
// file image written and read by the core without the interpreter lock.
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "core/store_file.hpp"
#include "core/store_image.hpp"
#include "python/convert.hpp"
#include "python/interpreter_lock.hpp"
#include "python/vectorstore_class.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr std::string_view kPathParameter[] = {"path"};
constexpr KeywordOnlyParameterDescription kLoadKeywords[] = {{"mmap", false}};
constexpr std::string_view kReduceParameters[] = {"protocol"};
constexpr std::string_view kRebuildParameters[] = {"image"};

constexpr FunctionDescription kSave{
    .function_name = "save",
    .class_name = "Vectorstore",
    .positional_names = kPathParameter,
    .required_positional_count = 1,
};
constexpr FunctionDescription kLoad{
    .function_name = "load",
    .class_name = "Vectorstore",
    .positional_names = kPathParameter,
    .required_positional_count = 1,
    .keyword_only = kLoadKeywords,
};
constexpr FunctionDescription kReduceEx{
    .function_name = "__reduce_ex__",
    .class_name = "Vectorstore",
    .positional_names = kReduceParameters,
    .required_positional_count = 1,
};
constexpr FunctionDescription kRebuild{
    .function_name = "_rebuild_vectorstore",
    .positional_names = kRebuildParameters,
    .required_positional_count = 1,
};

// The first protocol whose pickles carry buffers out of band.
constexpr long kOutOfBandProtocol = 5;

// A path as os.fspath gives it (str or bytes, also what errors name) and as the system
// takes it (the file system encoding of a str).
struct Path {
  Object shown;
  std::string native;
};

Result<Path> to_path(Borrowed object) {
  Object shown = Object::steal(PyOS_FSPath(object.get()));
  if (!shown) return fail(PyErr::fetch());
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(shown.get(), &encoded)) return fail(PyErr::fetch());
  const Object bytes = Object::steal(encoded);
  std::string native(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return Path{std::move(shown), std::move(native)};
}

PyErr store_error(core::StoreError error, const Path& path) {
  if (auto* format = std::get_if<core::FormatError>(&error)) return value_error(std::move(format->message));
  return os_error(std::get<core::SystemError>(error).error_number, path.shown.borrowed());
}

// A contiguous read-only view of a bytes-like object, released when it goes out of scope.
// The export keeps the object's memory where it is while the lock is given up.
class BufferView {
 public:
  static Result<BufferView> take(Borrowed object) {
    BufferView view;
    if (PyObject_GetBuffer(object.get(), &view.buffer_, PyBUF_SIMPLE) != 0) return fail(PyErr::fetch());
    view.held_ = true;
    return view;
  }
  BufferView(BufferView&& other) noexcept : buffer_(other.buffer_), held_(std::exchange(other.held_, false)) {}
  BufferView& operator=(BufferView&&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&buffer_);
  }
  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(buffer_.buf), static_cast<std::size_t>(buffer_.len)};
  }

 private:
  BufferView() = default;
  Py_buffer buffer_{};
  bool held_ = false;
};

// The image of a store as a new bytes object.
Result<Object> image_bytes(const core::Vectorstore& store) {
  auto layout = core::image_layout(store);
  if (!layout) return fail(value_error(std::move(layout.error().message)));
  const std::uint64_t total = layout.value().total_bytes;
  if (total > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) return fail(memory_error());
  Object bytes = Object::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!bytes) return fail(PyErr::fetch());
  // Not yet visible to any Python code: written without the lock.
  const std::span<std::byte> out(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get())),
                                 static_cast<std::size_t>(total));
  const InterpreterLockReleased released;
  core::write_image_to(store, layout.value(), out);
  return bytes;
}

Result<Object> attribute_of_module(const char* module_name, const char* name) {
  const Object module = Object::steal(PyImport_ImportModule(module_name));
  if (!module) return fail(PyErr::fetch());
  Object attribute = Object::steal(PyObject_GetAttrString(module.get(), name));
  if (!attribute) return fail(PyErr::fetch());
  return attribute;
}

Result<PyTypeObject*> vectorstore_type_object() {
  auto type = vectorstore_type();
  if (!type) return fail(type.take_error());
  return reinterpret_cast<PyTypeObject*>(type.value());
}

}  // namespace

// Both run with the store borrowed: saving shares the borrow, so that searches go on
// meanwhile and an insert from another thread raises "Already borrowed"; the lock is
// given up for the file's input and output only.
Result<Object> save_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kSave>(call);
  if (!bound) return fail(bound.take_error());
  const auto [path_argument] = bound.value();
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  auto path = to_path(Borrowed(path_argument));
  if (!path) return fail(path.take_error());
  auto saved = [&] {
    const InterpreterLockReleased released;
    return core::save_store(borrow.value().store(), path.value().native);
  }();
  if (!saved) return fail(store_error(saved.take_error(), path.value()));
  return Object::borrow(Py_None);
}

Result<Object> load_wrapper(Borrowed /*cls*/, const FastcallArguments& call) {
  auto bound = bind<kLoad>(call);
  if (!bound) return fail(bound.take_error());
  const auto [path_argument, mmap_argument] = bound.value();
  auto path = to_path(Borrowed(path_argument));
  if (!path) return fail(path.take_error());
  bool map = false;
  if (mmap_argument) {
    const int truth = PyObject_IsTrue(mmap_argument);
    if (truth < 0) return fail(PyErr::fetch());
    map = truth != 0;
  }
  auto type = vectorstore_type_object();
  if (!type) return fail(type.take_error());
  auto loaded = [&] {
    const InterpreterLockReleased released;
    return core::load_store(path.value().native, map);
  }();
  if (!loaded) return fail(store_error(loaded.take_error(), path.value()));
  return new_vectorstore_object(type.value(), loaded.take_value());
}

// (tarnix._rebuild_vectorstore, (image,)): the store's file image, as bytes, or from
// protocol 5 on as a pickle.PickleBuffer that a pickler with a buffer_callback hands
// over out of band.
Result<Object> reduce_ex_wrapper(Borrowed self, const FastcallArguments& call) {
  auto bound = bind<kReduceEx>(call);
  if (!bound) return fail(bound.take_error());
  const auto [protocol_argument] = bound.value();
  const long protocol = PyLong_AsLong(protocol_argument);
  if (protocol == -1 && PyErr_Occurred()) return fail(PyErr::fetch());
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  auto rebuild = attribute_of_module("tarnix", "_rebuild_vectorstore");
  if (!rebuild) return fail(rebuild.take_error());
  auto image = image_bytes(borrow.value().store());
  if (!image) return fail(image.take_error());
  Object payload = image.take_value();
  if (protocol >= kOutOfBandProtocol) {
    auto pickle_buffer = attribute_of_module("pickle", "PickleBuffer");
    if (!pickle_buffer) return fail(pickle_buffer.take_error());
    payload = Object::steal(PyObject_CallFunctionObjArgs(pickle_buffer.value().get(), payload.get(), nullptr));
    if (!payload) return fail(PyErr::fetch());
  }
  const Object arguments = new_or_panic(PyTuple_Pack(1, payload.get()));
  return new_or_panic(PyTuple_Pack(2, rebuild.value().get(), arguments.get()));
}

// The reconstructor pickles name: checks the image as load checks a file.
Result<Object> rebuild_vectorstore_wrapper(Borrowed /*module*/, const FastcallArguments& call) {
  auto bound = bind<kRebuild>(call);
  if (!bound) return fail(bound.take_error());
  const auto [image_argument] = bound.value();
  auto view = extract_argument(image_argument, "image", BufferView::take);
  if (!view) return fail(view.take_error());
  auto type = vectorstore_type_object();
  if (!type) return fail(type.take_error());
  auto store = [&] {
    const InterpreterLockReleased released;
    return core::read_image_from(view.value().bytes());
  }();
  if (!store) return fail(value_error(std::move(store.error().message)));
  return new_vectorstore_object(type.value(), store.take_value());
}

}  // namespace tarnix::py

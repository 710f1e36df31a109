// The methods and the property that build, drop and report the store's sketch.
#include <string>
#include <string_view>

#include "python/vectorstore_class.hpp"
#include "python/vectorstore_object.hpp"
#include "python/vectorstore_wrappers.hpp"

namespace tarnix::py {
namespace {

constexpr FunctionDescription kBuildSketch{.function_name = "build_sketch", .class_name = "Vectorstore"};
constexpr FunctionDescription kDropSketch{.function_name = "drop_sketch", .class_name = "Vectorstore"};

}  // namespace

// Exclusive, as insert: a search running meanwhile (search_many releases the interpreter
// lock) must not see the sketch change under it.
Result<Object> build_sketch_wrapper(Borrowed self, const FastcallArguments& call) {
  if (auto bound = bind<kBuildSketch>(call); !bound) return fail(bound.take_error());
  auto borrow = ExclusiveBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  borrow.value().store().build_sketch();  // std::bad_alloc leaves the store as it was
  return Object::borrow(Py_None);
}

Result<Object> drop_sketch_wrapper(Borrowed self, const FastcallArguments& call) {
  if (auto bound = bind<kDropSketch>(call); !bound) return fail(bound.take_error());
  auto borrow = ExclusiveBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  borrow.value().store().drop_sketch();
  return Object::borrow(Py_None);
}

Result<Object> has_sketch_wrapper(Borrowed self) {
  auto borrow = SharedBorrow::take(self);
  if (!borrow) return fail(borrow.take_error());
  return Object::borrow(borrow.value().store().sketch() ? Py_True : Py_False);
}

Result<int> read_only_has_sketch_wrapper(Borrowed /*self*/, PyObject* /*value*/) {
  return fail(attribute_error("attribute 'has_sketch' of '" + std::string(kClassName) + "' objects is not writable"));
}

}  // namespace tarnix::py

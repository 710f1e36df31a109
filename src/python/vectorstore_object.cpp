// The receiver check and the borrow counter.
#include "python/vectorstore_object.hpp"

#include <new>  // placement new

#include "base/panic.hpp"
#include "python/vectorstore_class.hpp"

namespace tarnix::py {

Result<Object> new_vectorstore_object(PyTypeObject* type, core::Vectorstore store) {
  const Object no_arguments = new_or_panic(PyTuple_New(0));
  Object instance = Object::steal(PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr));
  if (!instance) return fail(PyErr::fetch());
  auto* self = reinterpret_cast<PyVectorstore*>(instance.get());
  new (&self->store) core::Vectorstore(std::move(store));
  new (&self->borrow_flag) std::atomic<std::intptr_t>(0);
  return instance;
}

Result<PyVectorstore*> receiver(Borrowed self) {
  Result<PyObject*> type = vectorstore_type();
  if (!type) {
    std::move(type.error()).write_unraisable(nullptr);
    base::panic("failed to create type object for `Vectorstore`");
  }
  if (!PyObject_TypeCheck(self.get(), reinterpret_cast<PyTypeObject*>(type.value())))
    return fail(PyErr::cast_failure(self, type.value()));
  return reinterpret_cast<PyVectorstore*>(self.get());
}

Result<SharedBorrow> SharedBorrow::take(Borrowed self) {
  auto target = receiver(self);
  if (!target) return fail(target.take_error());
  PyVectorstore* owner = target.value();
  std::intptr_t flag = owner->borrow_flag.load();
  do {
    if (flag == -1) return fail(runtime_error("Already mutably borrowed"));
  } while (!owner->borrow_flag.compare_exchange_weak(flag, flag + 1));
  return SharedBorrow(owner);
}

SharedBorrow::~SharedBorrow() {
  if (owner_) owner_->borrow_flag.fetch_sub(1);
}

Result<ExclusiveBorrow> ExclusiveBorrow::take(Borrowed self) {
  auto target = receiver(self);
  if (!target) return fail(target.take_error());
  PyVectorstore* owner = target.value();
  std::intptr_t expected = 0;
  if (!owner->borrow_flag.compare_exchange_strong(expected, -1)) return fail(runtime_error("Already borrowed"));
  return ExclusiveBorrow(owner);
}

ExclusiveBorrow::~ExclusiveBorrow() {
  if (owner_) owner_->borrow_flag.store(0);
}

}  // namespace tarnix::py

// PyVectorstore: the instance layout, the receiver check and the store's borrow counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/store.hpp"
#include "python/error.hpp"

namespace tarnix::py {

struct PyVectorstore {
  PyObject_HEAD
  core::Vectorstore store;
  // 0 free, n > 0 held by n shared borrows, -1 held by one exclusive borrow.
  std::atomic<std::intptr_t> borrow_flag;
};

// A new instance of `type` (Vectorstore or a subtype) that takes over `store`.
Result<Object> new_vectorstore_object(PyTypeObject* type, core::Vectorstore store);

// `self` as a Vectorstore, or the cast failure naming the class.
Result<PyVectorstore*> receiver(Borrowed self);

// Held for the duration of a call that reads the store. Taking it checks the receiver first.
class SharedBorrow {
 public:
  static Result<SharedBorrow> take(Borrowed self);
  SharedBorrow(SharedBorrow&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow();
  const core::Vectorstore& store() const { return owner_->store; }

 private:
  explicit SharedBorrow(PyVectorstore* owner) : owner_(owner) {}
  PyVectorstore* owner_;
};

// Held for the duration of a call that changes the store. Taking it checks the receiver first.
class ExclusiveBorrow {
 public:
  static Result<ExclusiveBorrow> take(Borrowed self);
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow();
  core::Vectorstore& store() const { return owner_->store; }

 private:
  explicit ExclusiveBorrow(PyVectorstore* owner) : owner_(owner) {}
  PyVectorstore* owner_;
};

}  // namespace tarnix::py

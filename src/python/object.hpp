// Owned and borrowed references to Python objects; every ownership decision is made by name.
#pragma once

#include <utility>  // std::exchange

#include "python/compat.hpp"

namespace tarnix::py {

// A reference held only for the duration of a call; never released.
class Borrowed {
 public:
  explicit Borrowed(PyObject* object) noexcept : object_(object) {}
  PyObject* get() const noexcept { return object_; }
  PyTypeObject* type() const noexcept { return Py_TYPE(object_); }

 private:
  PyObject* object_;
};

// Owns exactly one reference (or none), released when it goes out of scope.
class Object {
 public:
  Object() noexcept = default;
  // Takes over a new reference, e.g. the result of a call that returns one.
  static Object steal(PyObject* object) noexcept { return Object(object); }
  // Adds a reference of its own to an object someone else owns.
  static Object borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Object(object);
  }

  Object(Object&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Object& operator=(Object&& other) noexcept {
    Object old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  Borrowed borrowed() const noexcept { return Borrowed(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference over to a C API call that steals it.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit Object(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tarnix::py

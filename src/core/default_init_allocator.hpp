// Vectors that grow without zeroing: for buffers whose every element is written
// before it is read, zeroing first would only write the memory twice.
#pragma once

#include <memory>   // std::allocator
#include <new>      // placement new
#include <utility>  // std::forward

namespace tarnix::core {

// An allocator whose vectors leave new elements uninitialised on resize.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

}  // namespace tarnix::core

// An allocator for vectors that searches stream through: the block storage's memory
// (huge pages when large), and new elements left uninitialised on resize.
#pragma once

#include <cstddef>
#include <new>  // std::bad_alloc

#include "core/block_storage.hpp"
#include "core/default_init_allocator.hpp"

namespace tarnix::core {

template <class T>
struct StreamedAllocator : DefaultInitAllocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = StreamedAllocator<U>;
  };
  StreamedAllocator() = default;
  template <class U>
  StreamedAllocator(const StreamedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_streamed(count * sizeof(T)));
  }
  void deallocate(T* storage, std::size_t count) noexcept { release_streamed(storage, count * sizeof(T)); }

  template <class U>
  bool operator==(const StreamedAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace tarnix::core

// A float buffer aligned to a cache line: block rows are whole cache lines, and the
// kernels' aligned loads rely on it.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tarnix::core {

inline constexpr std::size_t kCacheLine = 64;

template <class T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kCacheLine}));
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{kCacheLine}); }

  template <class U>
  bool operator==(const CacheLineAllocator<U>&) const noexcept {
    return true;
  }
};

using AlignedFloats = std::vector<float, CacheLineAllocator<float>>;

}  // namespace tarnix::core

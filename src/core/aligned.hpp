// The buffer that holds the store's blocks: aligned to a cache line (block rows are whole
// cache lines and the kernels' aligned loads rely on it), and, once large, to a huge page
// with the system asked to back it with huge pages, because a search reads all of it
// and would otherwise spend part of its time on address translation.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tarnix::core {

inline constexpr std::size_t kCacheLine = 64;

// Raw storage for the allocator below; std::bad_alloc when there is none.
void* allocate_block_storage(std::size_t bytes);
void release_block_storage(void* storage, std::size_t bytes) noexcept;

template <class T>
struct BlockAllocator {
  using value_type = T;
  BlockAllocator() = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_block_storage(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_block_storage(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const BlockAllocator<U>&) const noexcept {
    return true;
  }
};

using AlignedFloats = std::vector<float, BlockAllocator<float>>;

}  // namespace tarnix::core

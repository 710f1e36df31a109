// Memory for the store's blocks: aligned to a cache line (block rows are whole cache
// lines and the kernels' aligned loads rely on it), and, once large, to a huge page with
// the system asked to back it with huge pages, because a search reads all of it and would
// otherwise spend part of its time on address translation.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace tarnix::core {

inline constexpr std::size_t kCacheLine = 64;

// The memory behind BlockStorage, for other buffers that a search streams through:
// cache-line aligned, and huge pages asked for when large. std::bad_alloc when there is
// none; released with the same size it was allocated with.
void* allocate_streamed(std::size_t bytes);
void release_streamed(void* storage, std::size_t bytes) noexcept;

// Uninitialised bytes, for the elements of blocks (floats, ids); std::bad_alloc when
// there is no memory for them.
class BlockStorage {
 public:
  BlockStorage() = default;
  explicit BlockStorage(std::size_t bytes);

  // The bytes as elements of a trivial type, which need no construction.
  template <class T>
  T* as() const {
    static_assert(std::is_trivially_default_constructible_v<T> && alignof(T) <= kCacheLine);
    return reinterpret_cast<T*>(bytes_.get());
  }

 private:
  struct Release {
    std::size_t bytes;
    void operator()(std::byte* bytes) const noexcept;
  };
  std::unique_ptr<std::byte, Release> bytes_{nullptr, Release{0}};
};

}  // namespace tarnix::core

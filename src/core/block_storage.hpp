// Memory for the store's blocks: aligned to a cache line (block rows are whole cache
// lines and the kernels' aligned loads rely on it), and, once large, to a huge page with
// the system asked to back it with huge pages, because a search reads all of it and would
// otherwise spend part of its time on address translation.
#pragma once

#include <cstddef>
#include <memory>

namespace tarnix::core {

inline constexpr std::size_t kCacheLine = 64;

// Uninitialised floats; std::bad_alloc when there is no memory for them.
class BlockStorage {
 public:
  BlockStorage() = default;
  explicit BlockStorage(std::size_t floats);

  float* get() const { return floats_.get(); }

 private:
  struct Release {
    std::size_t bytes;
    void operator()(float* floats) const noexcept;
  };
  std::unique_ptr<float, Release> floats_{nullptr, Release{0}};
};

}  // namespace tarnix::core

// Where the block storage comes from.
#include "core/block_storage.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>  // madvise
#endif

namespace tarnix::core {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Huge pages spare a search most of its address translations, but a huge page is
// faulted in whole however little of it is used, so only buffers of this size ask for
// them: there the partly used last page is at most an eighth of the buffer, and a
// smaller part of the store. Smaller buffers take small pages.
constexpr std::size_t kHugePagesFrom = 8 * kHugePage;

std::size_t alignment_for(std::size_t bytes) { return bytes >= kHugePagesFrom ? kHugePage : kCacheLine; }

}  // namespace

void* allocate_streamed(std::size_t bytes) {
  void* storage = ::operator new(bytes, std::align_val_t{alignment_for(bytes)});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only advice: where huge pages are off or unavailable, small pages serve the same.
  if (bytes >= kHugePagesFrom) (void)madvise(storage, bytes, MADV_HUGEPAGE);
#endif
  return storage;
}

void release_streamed(void* storage, std::size_t bytes) noexcept {
  ::operator delete(storage, std::align_val_t{alignment_for(bytes)});
}

BlockStorage::BlockStorage(std::size_t bytes)
    : bytes_(static_cast<std::byte*>(allocate_streamed(bytes)), Release{bytes}) {}

void BlockStorage::Release::operator()(std::byte* storage) const noexcept { release_streamed(storage, bytes); }

}  // namespace tarnix::core

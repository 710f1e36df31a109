// Where the block storage comes from.
#include "core/aligned.hpp"

#if defined(__linux__)
#include <sys/mman.h>  // madvise
#endif

namespace tarnix::core {
namespace {

// Below this a buffer takes small pages: asking for huge ones would only waste memory.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t alignment_for(std::size_t bytes) { return bytes >= kHugePage ? kHugePage : kCacheLine; }

}  // namespace

void* allocate_block_storage(std::size_t bytes) {
  void* storage = ::operator new(bytes, std::align_val_t{alignment_for(bytes)});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only advice: where huge pages are off or unavailable, small pages serve the same.
  if (bytes >= kHugePage) (void)madvise(storage, bytes, MADV_HUGEPAGE);
#endif
  return storage;
}

void release_block_storage(void* storage, std::size_t bytes) noexcept {
  ::operator delete(storage, std::align_val_t{alignment_for(bytes)});
}

}  // namespace tarnix::core

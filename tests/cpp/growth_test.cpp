// Growing a buffer one element at a time: doubling while it fits, the exact room when
// only that fits, and a buffer left as it was when not even that does.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "core/growth.hpp"

namespace tarnix::core {
namespace {

// Refuses any allocation of more than `limit` elements, as an address space would.
template <class T>
struct LimitedAllocator {
  using value_type = T;
  static inline std::size_t limit = 0;

  LimitedAllocator() = default;
  template <class U>
  LimitedAllocator(const LimitedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > limit) throw std::bad_alloc();
    return std::allocator<T>{}.allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>{}.deallocate(p, n); }
  friend bool operator==(const LimitedAllocator&, const LimitedAllocator&) { return true; }
};

using Limited = std::vector<int, LimitedAllocator<int>>;

// The capacity after appending `appends` runs of `run` elements each, every run made room
// for by grow_for, with allocations above `limit` refused.
std::size_t capacity_after(std::size_t limit, std::size_t run, std::size_t appends) {
  LimitedAllocator<int>::limit = limit;
  Limited buffer;
  for (std::size_t i = 0; i < appends; ++i) {
    grow_for(buffer, run);
    buffer.resize(buffer.size() + run);
  }
  return buffer.capacity();
}

TEST(GrowFor, DoublesWhileItFitsThenTakesTheExactRoom) {
  const struct {
    const char* name;
    std::size_t limit, run, appends, capacity;
  } cases[] = {
      {"doubling fits", 1000, 10, 3, 40},
      {"first run takes exactly its room", 1000, 10, 1, 10},
      {"doubling refused, exact room fits", 35, 10, 3, 30},
      {"exact room at the very limit", 30, 10, 3, 30},
      {"one element at a time up to the limit", 5, 1, 5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(capacity_after(c.limit, c.run, c.appends), c.capacity);
  }
}

TEST(GrowFor, RoomThatDoesNotFitIsRefusedAndTheBufferKept) {
  LimitedAllocator<int>::limit = 25;
  Limited buffer;
  grow_for(buffer, 10);
  buffer.resize(10);
  grow_for(buffer, 10);
  buffer.resize(20);
  EXPECT_THROW(grow_for(buffer, 10), std::bad_alloc);
  EXPECT_EQ(buffer.size(), 20u);
  EXPECT_EQ(buffer.capacity(), 20u);
  // Beyond the largest size any buffer can have: refused before asking for memory.
  EXPECT_THROW(grow_for(buffer, buffer.max_size()), std::bad_alloc);
}

}  // namespace
}  // namespace tarnix::core

// Growing a buffer for one more element: geometric growth that never refuses what fits.
#pragma once

#include <cstddef>  // std::size_t
#include <new>      // std::bad_alloc

namespace tarnix::core {

// Room for `elements` more, doubling so that a run of appends costs amortised constant
// time. Every way of running out of room is std::bad_alloc, which the boundary reports as
// MemoryError; on it the buffer is unchanged.
template <class Buffer>
void grow_for(Buffer& buffer, std::size_t elements) {
  const std::size_t size = buffer.size();
  if (elements > buffer.max_size() - size) throw std::bad_alloc();
  const std::size_t needed = size + elements;
  if (needed <= buffer.capacity()) return;
  const std::size_t doubled = size <= buffer.max_size() / 2 ? 2 * size : buffer.max_size();
  if (doubled > needed) {
    try {
      buffer.reserve(doubled);
      return;
    } catch (const std::bad_alloc&) {
      // Doubling is only for the appends still to come: when it does not fit, the room
      // needed now may still, and refusing it would refuse a record that fits.
    }
  }
  buffer.reserve(needed);
}

}  // namespace tarnix::core

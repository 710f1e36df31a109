// The store's records as the file sections hold them, handed out in pieces straight from
// the store's memory: how saving and pickling export a store.
#pragma once

#include <bit>  // std::endian
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/store.hpp"
#include "core/store_format.hpp"

namespace tarnix::core {

// Sections hold floats and ids in the host's byte order, which the format fixes as
// little-endian: every platform the module is built for is.
static_assert(std::endian::native == std::endian::little, "store files are written in little-endian order");

template <class T>
std::span<const std::byte> bytes_of(const T* data, std::size_t count) {
  return {reinterpret_cast<const std::byte*>(data), count * sizeof(T)};
}

// Calls `piece(bytes)` for consecutive pieces of one section, in file order.
template <class Piece>
void for_each_piece(const Vectorstore& store, Section section, const Piece& piece) {
  const std::size_t blocks = store.complete_blocks();
  switch (section) {
    case Section::vectors:
      for (std::size_t b = 0; b < blocks;) {
        const std::size_t run = store.contiguous_blocks_from(b);
        piece(bytes_of(store.block(b), run * store.block_floats()));
        b += run;
      }
      piece(bytes_of(store.tail().data(), store.tail().size()));
      return;
    case Section::norms:
      for (std::size_t b = 0; b < blocks;) {
        const std::size_t run = store.contiguous_blocks_from(b);
        piece(bytes_of(store.lane_norms(b), run * kBlockLanes));
        b += run;
      }
      return;
    case Section::ids: {
      for (std::size_t b = 0; b < blocks; ++b) piece(bytes_of(store.block_ids(b), kBlockLanes));
      std::uint64_t tail[kBlockLanes];
      const std::size_t first = blocks * kBlockLanes;
      for (std::size_t r = first; r < store.size(); ++r) tail[r - first] = store.id(r);
      piece(bytes_of(tail, store.size() - first));
      return;
    }
  }
}

}  // namespace tarnix::core

// The 64-bit checksum of store files: fed in pieces of any length, the same value as
// over the bytes in one piece, on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnix::core {

// Four independent lanes over 32-byte stripes, so that the multiplications of one stripe
// overlap instead of forming one chain (see docs/store-format.md for the definition).
class Checksum {
 public:
  Checksum();
  void update(std::span<const std::byte> bytes);
  std::uint64_t value() const;

 private:
  void stripe(const std::byte* bytes);

  std::uint64_t lanes_[4];
  std::byte pending_[32];
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;
};

std::uint64_t checksum_of(std::span<const std::byte> bytes);

}  // namespace tarnix::core

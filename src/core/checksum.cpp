// The checksum's rounds and its final mixing.
#include "core/checksum.hpp"

#include <algorithm>  // std::min
#include <bit>        // std::endian
#include <cstring>    // std::memcpy

namespace tarnix::core {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87u;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9u;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63u;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5u;

std::uint64_t rotate_left(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

// Words are read little-endian, as one plain load: every platform built for is
// little-endian (a big-endian one would need its bytes swapped here).
static_assert(std::endian::native == std::endian::little, "the checksum reads little-endian words");

template <class Word>
std::uint64_t load_le(const std::byte* p) {
  Word value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

std::uint64_t load_u64(const std::byte* p) { return load_le<std::uint64_t>(p); }
std::uint64_t load_u32(const std::byte* p) { return load_le<std::uint32_t>(p); }

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
  return rotate_left(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ round(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

Checksum::Checksum() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void Checksum::stripe(const std::byte* bytes) {
  for (int lane = 0; lane < 4; ++lane) lanes_[lane] = round(lanes_[lane], load_u64(bytes + 8 * lane));
}

void Checksum::update(std::span<const std::byte> bytes) {
  total_ += bytes.size();
  const std::byte* p = bytes.data();
  std::size_t left = bytes.size();
  if (pending_size_ > 0) {
    const std::size_t taken = std::min(left, sizeof(pending_) - pending_size_);
    std::memcpy(pending_ + pending_size_, p, taken);
    pending_size_ += taken;
    p += taken;
    left -= taken;
    if (pending_size_ < sizeof(pending_)) return;
    stripe(pending_);
    pending_size_ = 0;
  }
  for (; left >= 32; p += 32, left -= 32) stripe(p);
  if (left > 0) std::memcpy(pending_, p, left);
  pending_size_ = left;
}

std::uint64_t Checksum::value() const {
  std::uint64_t hash;
  if (total_ >= 32) {
    hash = rotate_left(lanes_[0], 1) + rotate_left(lanes_[1], 7) + rotate_left(lanes_[2], 12) +
           rotate_left(lanes_[3], 18);
    for (std::uint64_t lane : lanes_) hash = merge(hash, lane);
  } else {
    hash = kPrime5;
  }
  hash += total_;
  const std::byte* p = pending_;
  std::size_t left = pending_size_;
  for (; left >= 8; p += 8, left -= 8) hash = rotate_left(hash ^ round(0, load_u64(p)), 27) * kPrime1 + kPrime4;
  if (left >= 4) {
    hash = rotate_left(hash ^ (load_u32(p) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) hash = rotate_left(hash ^ (std::to_integer<std::uint64_t>(*p) * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

std::uint64_t checksum_of(std::span<const std::byte> bytes) {
  Checksum checksum;
  checksum.update(bytes);
  return checksum.value();
}

}  // namespace tarnix::core

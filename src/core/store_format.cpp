// Encoding and checking store file headers.
#include "core/store_format.hpp"

#include <algorithm>  // std::equal, std::min
#include <cstring>    // std::memcpy
#include <limits>

#include "core/checksum.hpp"

namespace tarnix::core {
namespace {

constexpr char kMagic[8] = {'T', 'A', 'R', 'N', 'I', 'X', 'V', 'S'};
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kHeaderBytesAt = 12;
constexpr std::size_t kVectorSizeAt = 16;
constexpr std::size_t kBlockLanesAt = 20;
constexpr std::size_t kCountAt = 24;
constexpr std::size_t kSectionsAt = 32;  // per section: offset, length, checksum
constexpr std::size_t kFlagsAt = kSectionsAt + kSectionCount * 24;
constexpr std::size_t kReservedAt = kFlagsAt + 4;
// The flags a reader of version 1 knows; files written before there were flags have none.
constexpr std::uint64_t kHadSketch = 1;
constexpr std::size_t kHeaderChecksumAt = kHeaderBytes - 8;

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

void store_le(std::byte* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint64_t load_le(const std::byte* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | std::to_integer<std::uint64_t>(at[i]);
  return value;
}

FormatError not_a_store() { return {"not a tarnix store file"}; }
FormatError truncated() { return {"store file is truncated"}; }
FormatError sizes_do_not_add_up() { return {"store file sizes do not add up"}; }
FormatError does_not_fit() { return {"store file holds more records than fit in memory on this platform"}; }

bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
bool add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_add_overflow(a, b, &out); }

bool align_up(std::uint64_t value, std::uint64_t& out) {
  return add(value, kSectionAlignment - 1, out) && ((out &= ~std::uint64_t{kSectionAlignment - 1}), true);
}

}  // namespace

const char* section_name(Section section) {
  switch (section) {
    case Section::vectors: return "vectors";
    case Section::norms: return "norms";
    case Section::ids: return "ids";
  }
  return "?";
}

FormatError checksum_mismatch(Section section) {
  return {std::string("checksum mismatch in the ") + section_name(section) + " section"};
}

base::Expected<StoreLayout, FormatError> layout_for(Size vector_size, std::uint64_t count) {
  const std::uint64_t blocks = count / kBlockLanes;
  const std::uint64_t tail = count % kBlockLanes;
  std::uint64_t vector_bytes = 0, norm_bytes = 0, id_bytes = 0;
  // Every product and sum is checked: a header may hold any count.
  if (!multiply(count, std::uint64_t{vector_size} * sizeof(float), vector_bytes) ||
      !multiply(blocks, kBlockLanes * sizeof(float), norm_bytes) || !multiply(count, sizeof(std::uint64_t), id_bytes))
    return base::fail(does_not_fit());
  StoreLayout layout{vector_size, count, 0, static_cast<std::size_t>(tail), {}, 0};
  std::uint64_t at = kHeaderBytes;
  const std::uint64_t lengths[kSectionCount] = {vector_bytes, norm_bytes, id_bytes};
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    if (s > 0 && !align_up(at, at)) return base::fail(does_not_fit());
    layout.sections[s] = {at, lengths[s]};
    if (!add(at, lengths[s], at)) return base::fail(does_not_fit());
  }
  layout.total_bytes = at;
  // The whole store is held in this process's memory (read or mapped), and the blocks'
  // floats are counted in size_t: where that cannot be, the store cannot be loaded here.
  if (at > kSizeMax || blocks > kSizeMax / kBlockLanes) return base::fail(does_not_fit());
  layout.complete_blocks = static_cast<std::size_t>(blocks);
  return layout;
}

void encode_header(const StoreHeader& header, std::span<std::byte, kHeaderBytes> out) {
  std::fill(out.begin(), out.end(), std::byte{0});
  std::memcpy(out.data(), kMagic, sizeof(kMagic));
  store_le(out.data() + kVersionAt, kFormatVersion, 4);
  store_le(out.data() + kHeaderBytesAt, kHeaderBytes, 4);
  store_le(out.data() + kVectorSizeAt, header.layout.vector_size, 4);
  store_le(out.data() + kBlockLanesAt, kBlockLanes, 4);
  store_le(out.data() + kCountAt, header.layout.count, 8);
  store_le(out.data() + kFlagsAt, header.had_sketch ? kHadSketch : 0, 4);
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    std::byte* entry = out.data() + kSectionsAt + 24 * s;
    store_le(entry, header.layout.sections[s].offset, 8);
    store_le(entry + 8, header.layout.sections[s].length, 8);
    store_le(entry + 16, header.checksums[s], 8);
  }
  store_le(out.data() + kHeaderChecksumAt, checksum_of(out.first(kHeaderChecksumAt)), 8);
}

base::Expected<StoreHeader, FormatError> decode_header(std::span<const std::byte> prefix, std::uint64_t total_bytes) {
  const std::byte* magic = reinterpret_cast<const std::byte*>(kMagic);
  const std::size_t magic_seen = std::min(prefix.size(), sizeof(kMagic));
  if (!std::equal(prefix.begin(), prefix.begin() + magic_seen, magic)) return base::fail(not_a_store());
  if (prefix.size() < kHeaderBytesAt) return base::fail(truncated());
  const std::uint64_t version = load_le(prefix.data() + kVersionAt, 4);
  if (version != kFormatVersion)
    return base::fail(FormatError{"unsupported store file format version " + std::to_string(version) +
                                  " (this tarnix reads version " + std::to_string(kFormatVersion) + ")"});
  if (prefix.size() < kHeaderBytes) return base::fail(truncated());
  const std::byte* h = prefix.data();
  if (load_le(h + kHeaderChecksumAt, 8) != checksum_of(prefix.first(kHeaderChecksumAt)))
    return base::fail(FormatError{"checksum mismatch in the header"});
  // A valid checksum over fields a reader of this version does not expect is a file
  // written by hand or by a faulty writer: refused, whatever else it says.
  if (load_le(h + kHeaderBytesAt, 4) != kHeaderBytes || load_le(h + kBlockLanesAt, 4) != kBlockLanes ||
      (load_le(h + kFlagsAt, 4) & ~kHadSketch) != 0 ||
      std::any_of(h + kReservedAt, h + kHeaderChecksumAt, [](std::byte b) { return b != std::byte{0}; }))
    return base::fail(FormatError{"store file header has fields this reader does not know"});
  auto layout = layout_for(static_cast<Size>(load_le(h + kVectorSizeAt, 4)), load_le(h + kCountAt, 8));
  if (!layout) return base::fail(layout.take_error());
  StoreHeader header{layout.take_value(), {}, (load_le(h + kFlagsAt, 4) & kHadSketch) != 0};
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    const std::byte* entry = h + kSectionsAt + 24 * s;
    if (load_le(entry, 8) != header.layout.sections[s].offset || load_le(entry + 8, 8) != header.layout.sections[s].length)
      return base::fail(sizes_do_not_add_up());
    header.checksums[s] = load_le(entry + 16, 8);
  }
  if (total_bytes < header.layout.total_bytes) return base::fail(truncated());
  if (total_bytes > header.layout.total_bytes) return base::fail(sizes_do_not_add_up());
  return header;
}

}  // namespace tarnix::core

// The store file format: its header, where its sections lie, and the checks a header
// passes before anything is sized or read from it (docs/store-format.md describes it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/expected.hpp"
#include "core/store.hpp"

namespace tarnix::core {

inline constexpr std::size_t kHeaderBytes = 128;
inline constexpr std::uint32_t kFormatVersion = 1;
// Sections start on this boundary, so that mapped blocks are as aligned as allocated ones.
inline constexpr std::size_t kSectionAlignment = 64;

// The sections in file order: the records' floats (complete blocks, lane-interleaved, then
// the tail's records one after another), the blocks' lane norms, every id in order.
enum class Section : std::size_t { vectors, norms, ids };
inline constexpr std::size_t kSectionCount = 3;
const char* section_name(Section section);

// A file or payload that is not a valid store; the boundary raises it as ValueError.
struct FormatError {
  std::string message;
};

struct SectionPlace {
  std::uint64_t offset;
  std::uint64_t length;
};

// Where everything of a store of this dimension and count lies. Every size fits the
// platform's size_t: a layout exists only for a store this platform can hold.
struct StoreLayout {
  Size vector_size;
  std::uint64_t count;
  std::size_t complete_blocks;
  std::size_t tail_records;
  std::array<SectionPlace, kSectionCount> sections;
  std::uint64_t total_bytes;

  const SectionPlace& place(Section section) const { return sections[static_cast<std::size_t>(section)]; }
};

base::Expected<StoreLayout, FormatError> layout_for(Size vector_size, std::uint64_t count);

struct StoreHeader {
  StoreLayout layout;
  std::array<std::uint64_t, kSectionCount> checksums;
  // The store had a sketch when it was written: the reader builds it again. The sketch
  // is not in the file; it follows from the records, and rebuilding it costs less than
  // reading it would cost in file size.
  bool had_sketch = false;
};

void encode_header(const StoreHeader& header, std::span<std::byte, kHeaderBytes> out);

// Checks, in this order, that `prefix` (the first bytes of a file or payload of
// `total_bytes` bytes, at most kHeaderBytes of them) starts with the magic string, has a
// version this reader knows, is a whole header with its checksum, has no field or flag it
// does not know, describes a store this
// platform can hold, lays its sections out as layout_for does, and that the whole is
// exactly as long as the sections say.
base::Expected<StoreHeader, FormatError> decode_header(std::span<const std::byte> prefix, std::uint64_t total_bytes);

FormatError checksum_mismatch(Section section);

}  // namespace tarnix::core

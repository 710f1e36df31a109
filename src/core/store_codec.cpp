// The one route between a store and its file image.
#include "core/store_codec.hpp"

#include <algorithm>  // std::min
#include <cstring>    // std::memcpy
#include <vector>

#include "core/checksum.hpp"
#include "core/store_sections.hpp"

namespace tarnix::core {
namespace {

// Sections are read or written in pieces of this size, each checksummed and copied
// while it is still in the cache.
constexpr std::size_t kPiece = std::size_t{256} << 10;

template <class T>
std::span<std::byte> writable_bytes(T* data, std::size_t count) {
  return {reinterpret_cast<std::byte*>(data), count * sizeof(T)};
}

// Reads one section into its destinations, which together are exactly its length, and
// compares its checksum.
base::Expected<base::Done, StoreError> read_section(ImageSource& source, const StoreHeader& header, Section section,
                                                   std::initializer_list<std::span<std::byte>> destinations) {
  std::uint64_t offset = header.layout.place(section).offset;
  Checksum checksum;
  for (std::span<std::byte> destination : destinations) {
    while (!destination.empty()) {
      const std::span<std::byte> piece = destination.first(std::min(destination.size(), kPiece));
      if (const int error = source.read(offset, piece); error != 0) {
        if (error == kImageEnded) return base::fail(FormatError{"store file is truncated"});
        return base::fail(SystemError{error});
      }
      checksum.update(piece);
      offset += piece.size();
      destination = destination.subspan(piece.size());
    }
  }
  if (checksum.value() != header.checksums[static_cast<std::size_t>(section)])
    return base::fail(checksum_mismatch(section));
  return base::Done{};
}

// Appends the tail's records, read as the sections hold them.
void add_tail(Vectorstore& store, const float* vectors, const std::uint64_t* ids, std::size_t records) {
  const std::size_t dim = store.vector_size();
  for (std::size_t r = 0; r < records; ++r) {
    auto inserted = store.insert(std::span<const float>(vectors + r * dim, dim), ids[r]);
    (void)inserted;  // cannot fail: the length is the store's own
  }
}

}  // namespace

base::Expected<StoreLayout, FormatError> image_layout(const Vectorstore& store) {
  auto layout = layout_for(store.vector_size(), store.size());
  if (!layout) return base::fail(FormatError{"the store is too large for a file this platform can load"});
  return layout;
}

int write_image(const Vectorstore& store, const StoreLayout& layout, ImageSink& sink) {
  StoreHeader header{layout, {}, store.sketch() != nullptr};
  std::uint64_t at = kHeaderBytes;
  static constexpr std::byte kZeros[kSectionAlignment] = {};
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    const SectionPlace place = layout.sections[s];
    if (const int error = sink.write(std::span<const std::byte>(kZeros, place.offset - at)); error != 0) return error;
    Checksum checksum;
    int error = 0;
    for_each_piece(store, static_cast<Section>(s), [&](std::span<const std::byte> run) {
      while (error == 0 && !run.empty()) {
        const std::span<const std::byte> piece = run.first(std::min(run.size(), kPiece));
        checksum.update(piece);
        error = sink.write(piece);
        run = run.subspan(piece.size());
      }
    });
    if (error != 0) return error;
    header.checksums[s] = checksum.value();
    at = place.offset + place.length;
  }
  std::byte encoded[kHeaderBytes];
  encode_header(header, encoded);
  return sink.write_header(encoded);
}

base::Expected<Vectorstore, StoreError> read_image(const StoreHeader& header, ImageSource& source) {
  const StoreLayout& layout = header.layout;
  const std::size_t dim = layout.vector_size;
  const std::size_t blocks = layout.complete_blocks;
  const std::size_t tail = layout.tail_records;
  // Every size below was checked against the image's true size by decode_header.
  Vectorstore store(layout.vector_size);
  const Vectorstore::BlockRoom room = store.add_blocks(blocks);
  std::vector<float> tail_vectors(tail * dim);
  std::vector<std::uint64_t> tail_ids(tail);
  const std::size_t block_floats = blocks * kBlockLanes * dim;
  if (auto read = read_section(source, header, Section::vectors,
                               {writable_bytes(room.blocks, block_floats), writable_bytes(tail_vectors.data(), tail * dim)});
      !read)
    return base::fail(read.take_error());
  if (auto read = read_section(source, header, Section::norms, {writable_bytes(room.norms, blocks * kBlockLanes)}); !read)
    return base::fail(read.take_error());
  if (auto read = read_section(source, header, Section::ids,
                               {writable_bytes(room.ids, blocks * kBlockLanes), writable_bytes(tail_ids.data(), tail)});
      !read)
    return base::fail(read.take_error());
  add_tail(store, tail_vectors.data(), tail_ids.data(), tail);
  if (header.had_sketch) store.build_sketch();
  return store;
}

Vectorstore adopt_image(const StoreHeader& header, std::span<const std::byte> image, std::shared_ptr<const void> owner) {
  const StoreLayout& layout = header.layout;
  const std::size_t blocks = layout.complete_blocks;
  const std::byte* vectors = image.data() + layout.place(Section::vectors).offset;
  const std::byte* norms = image.data() + layout.place(Section::norms).offset;
  const std::byte* ids = image.data() + layout.place(Section::ids).offset;
  const std::size_t block_floats = blocks * kBlockLanes * layout.vector_size;
  Vectorstore store(layout.vector_size);
  // Sections start on kSectionAlignment boundaries of a page-aligned mapping, so the
  // blocks are aligned as the kernels' loads need, and these casts view floats and ids
  // that the image holds in the host's order.
  store.adopt_blocks(std::move(owner), reinterpret_cast<const float*>(vectors), reinterpret_cast<const float*>(norms),
                     reinterpret_cast<const std::uint64_t*>(ids), blocks);
  std::vector<float> tail_vectors(layout.tail_records * layout.vector_size);
  std::vector<std::uint64_t> tail_ids(layout.tail_records);
  if (!tail_vectors.empty())
    std::memcpy(tail_vectors.data(), vectors + block_floats * sizeof(float), tail_vectors.size() * sizeof(float));
  if (!tail_ids.empty())
    std::memcpy(tail_ids.data(), ids + blocks * kBlockLanes * sizeof(std::uint64_t), tail_ids.size() * sizeof(std::uint64_t));
  add_tail(store, tail_vectors.data(), tail_ids.data(), layout.tail_records);
  if (header.had_sketch) store.build_sketch();  // in memory of its own: the mapping stays read-only
  return store;
}

}  // namespace tarnix::core

// Store images below Python: the checksum fed in pieces, headers crafted with a valid
// checksum that still describe what cannot be, and files saved, read and mapped.
#include <gtest/gtest.h>

#include <bit>      // std::bit_cast
#include <cerrno>
#include <cstdlib>  // mkdtemp
#include <unistd.h>  // unlink, rmdir
#include <string>
#include <vector>

#include "core/checksum.hpp"
#include "core/search.hpp"
#include "core/store_file.hpp"
#include "core/store_format.hpp"
#include "core/store_image.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

std::vector<std::byte> some_bytes(std::size_t n) {
  std::vector<std::byte> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::byte>((i * 131 + 7) % 251);
  return bytes;
}

TEST(Checksum, PiecesGiveTheValueOfTheWhole) {
  const std::vector<std::byte> bytes = some_bytes(203);
  for (std::size_t size : {0u, 1u, 3u, 4u, 8u, 31u, 32u, 33u, 100u, 203u}) {
    const std::span<const std::byte> whole(bytes.data(), size);
    for (std::size_t cut = 0; cut <= size; cut += 5) {
      Checksum pieces;
      pieces.update(whole.first(cut));
      pieces.update(whole.subspan(cut));
      EXPECT_EQ(pieces.value(), checksum_of(whole)) << size << " cut at " << cut;
    }
  }
  // xxHash64's published value for no input, seed 0.
  EXPECT_EQ(checksum_of({}), 0xEF46DB3751D8E999u);
  EXPECT_NE(checksum_of(std::span<const std::byte>(bytes.data(), 100)),
            checksum_of(std::span<const std::byte>(bytes.data(), 99)));
}

Vectorstore sample_store(Size dim, std::size_t count) {
  Vectorstore store(dim);
  for (std::size_t r = 0; r < count; ++r) {
    std::vector<float> v(dim);
    for (Size j = 0; j < dim; ++j) v[j] = static_cast<float>((r * 7 + j * 3) % 11) - 5.0f;
    (void)store.insert(v, ~std::uint64_t{0} - r);
  }
  return store;
}

std::vector<std::byte> image_of(const Vectorstore& store) {
  const StoreLayout layout = image_layout(store).value();
  std::vector<std::byte> image(static_cast<std::size_t>(layout.total_bytes));
  write_image_to(store, layout, image);
  return image;
}

// Writes a little-endian field and signs the header again, as a crafted file would.
void craft(std::vector<std::byte>& image, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<std::byte>(value >> (8 * i));
  const std::uint64_t sum = checksum_of(std::span<const std::byte>(image.data(), kHeaderBytes - 8));
  for (int i = 0; i < 8; ++i) image[kHeaderBytes - 8 + i] = static_cast<std::byte>(sum >> (8 * i));
}

std::string refusal(const std::vector<std::byte>& image) {
  auto store = read_image_from(image);
  return store ? "loaded" : store.error().message;
}

TEST(StoreHeader, CraftedHeadersAreRefused) {
  const std::vector<std::byte> image = image_of(sample_store(3, 70));
  EXPECT_EQ(refusal(image), "loaded");
  auto crafted = image;
  craft(crafted, 24, std::uint64_t{1} << 62, 8);  // a count no file can hold
  EXPECT_EQ(refusal(crafted), "store file holds more records than fit in memory on this platform");
  crafted = image;
  craft(crafted, 24, 71, 8);  // one record more than the sections hold
  EXPECT_EQ(refusal(crafted), "store file sizes do not add up");
  crafted = image;
  craft(crafted, 32, 128 + 64, 8);  // the vectors section moved
  EXPECT_EQ(refusal(crafted), "store file sizes do not add up");
  crafted = image;
  craft(crafted, 20, 32, 4);  // another block width
  EXPECT_EQ(refusal(crafted), "store file header has fields this reader does not know");
  crafted = image;
  craft(crafted, 110, 1, 1);  // a reserved byte
  EXPECT_EQ(refusal(crafted), "store file header has fields this reader does not know");
  crafted = image;
  craft(crafted, 104, 2, 4);  // a flag this reader does not know
  EXPECT_EQ(refusal(crafted), "store file header has fields this reader does not know");
  crafted = image;
  craft(crafted, 104, 1, 4);  // the sketch's flag: the store comes back with one
  auto flagged = read_image_from(crafted);
  ASSERT_TRUE(flagged);
  EXPECT_NE(flagged.value().sketch(), nullptr);
  crafted = image;
  craft(crafted, 16, 4, 4);  // another dimension: the sections no longer match
  EXPECT_EQ(refusal(crafted), "store file sizes do not add up");
}

TEST(StoreHeader, LayoutsThatCannotFitAreRefused) {
  EXPECT_FALSE(layout_for(0xFFFFFFFFu, ~std::uint64_t{0}));
  EXPECT_FALSE(layout_for(1, ~std::uint64_t{0} / 8));
  if constexpr (sizeof(std::size_t) == 4) {
    // A block of this dimension does not fit a 32-bit address space.
    EXPECT_FALSE(layout_for(16777216, kBlockLanes));
    EXPECT_TRUE(layout_for(16777216, kBlockLanes - 1));
  }
  const StoreLayout layout = layout_for(3, 70).value();
  EXPECT_EQ(layout.complete_blocks, 1u);
  EXPECT_EQ(layout.tail_records, 6u);
  for (const SectionPlace& place : layout.sections) EXPECT_EQ(place.offset % kSectionAlignment, 0u);
}

// A directory for one file, removed with it at the end of the test.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char name[] = "/tmp/tarnix-store-test-XXXXXX";
    directory_ = mkdtemp(name);
  }
  ~TemporaryDirectory() {
    ::unlink(file().c_str());
    ::rmdir(directory_.c_str());
  }
  std::string file() const { return directory_ + "/store.tnx"; }

 private:
  std::string directory_;
};

TEST(StoreFile, SavedStoresAnswerAsTheOriginal) {
  const TemporaryDirectory directory;
  const std::string path = directory.file();
  for (std::size_t count : {0u, 5u, 64u, 200u}) {
    const Vectorstore store = sample_store(9, count);
    ASSERT_TRUE(save_store(store, path));
    for (bool map : {false, true}) {
      auto loaded = load_store(path, map);
      ASSERT_TRUE(loaded);
      EXPECT_EQ(loaded.value().size(), count);
      EXPECT_EQ(image_of(loaded.value()), image_of(store));
      const std::vector<float> query{1, 2, 3, 4, 5, 6, 7, 8, 9};
      const auto expected = search(store, query, 300).value();
      const auto got = search(loaded.value(), query, 300).value();
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, expected[i].id);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(expected[i].score));
      }
    }
  }
}

TEST(StoreFile, MappedStoreGrowsInMemory) {
  const TemporaryDirectory directory;
  const std::string path = directory.file();
  Vectorstore store = sample_store(4, 130);
  ASSERT_TRUE(save_store(store, path));
  Vectorstore mapped = load_store(path, true).take_value();
  for (std::size_t r = 0; r < 100; ++r) {
    const std::vector<float> v{float(r), 1, -2, 0.5f};
    (void)store.insert(v, r);
    (void)mapped.insert(v, r);
  }
  EXPECT_EQ(image_of(mapped), image_of(store));
  EXPECT_EQ(image_of(load_store(path, false).value()), image_of(sample_store(4, 130)));
}

TEST(StoreFile, SystemFailuresCarryTheErrno) {
  auto missing = load_store("/nonexistent/store.tnx", false);
  ASSERT_FALSE(missing);
  EXPECT_EQ(std::get<SystemError>(missing.error()).error_number, ENOENT);
  auto unsaved = save_store(sample_store(2, 3), "/nonexistent/store.tnx");
  ASSERT_FALSE(unsaved);
  EXPECT_EQ(std::get<SystemError>(unsaved.error()).error_number, ENOENT);
}

}  // namespace
}  // namespace tarnix::core

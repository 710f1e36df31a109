// Store images in memory: a sink and a source over a byte span.
#include "core/store_image.hpp"

#include <cstring>  // std::memcpy
#include <variant>

#include "core/store_codec.hpp"

namespace tarnix::core {
namespace {

class MemorySink final : public ImageSink {
 public:
  explicit MemorySink(std::span<std::byte> out) : out_(out) {}
  int write(std::span<const std::byte> bytes) override {
    if (!bytes.empty()) std::memcpy(out_.data() + at_, bytes.data(), bytes.size());
    at_ += bytes.size();
    return 0;
  }
  int write_header(std::span<const std::byte, kHeaderBytes> header) override {
    std::memcpy(out_.data(), header.data(), header.size());
    return 0;
  }

 private:
  std::span<std::byte> out_;
  std::size_t at_ = kHeaderBytes;
};

class MemorySource final : public ImageSource {
 public:
  explicit MemorySource(std::span<const std::byte> image) : image_(image) {}
  int read(std::uint64_t offset, std::span<std::byte> out) override {
    if (!out.empty()) std::memcpy(out.data(), image_.data() + offset, out.size());
    return 0;
  }

 private:
  std::span<const std::byte> image_;
};

}  // namespace

void write_image_to(const Vectorstore& store, const StoreLayout& layout, std::span<std::byte> out) {
  MemorySink sink(out.first(static_cast<std::size_t>(layout.total_bytes)));
  (void)write_image(store, layout, sink);  // memory cannot fail
}

base::Expected<Vectorstore, FormatError> read_image_from(std::span<const std::byte> image) {
  auto header = decode_header(image.first(std::min(image.size(), kHeaderBytes)), image.size());
  if (!header) return base::fail(header.take_error());
  MemorySource source(image);
  auto store = read_image(header.value(), source);
  if (!store) return base::fail(std::get<FormatError>(store.take_error()));  // memory reports no system error
  return store.take_value();
}

}  // namespace tarnix::core

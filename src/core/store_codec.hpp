// Writing a store as a file image and reading one back, through a sink or a source that
// is a file or memory: the one route of saving, loading and pickling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>

#include "base/expected.hpp"
#include "core/store.hpp"
#include "core/store_format.hpp"

namespace tarnix::core {

// A failure of the system (errno), reported with the path that was being worked on.
struct SystemError {
  int error_number;
};
using StoreError = std::variant<FormatError, SystemError>;

// Where an image is written: the sections in order from offset kHeaderBytes on, the
// padding between them included, then the header at offset 0. Each call returns 0 or
// the errno of its failure.
class ImageSink {
 public:
  virtual ~ImageSink() = default;
  virtual int write(std::span<const std::byte> bytes) = 0;
  virtual int write_header(std::span<const std::byte, kHeaderBytes> header) = 0;
};

// What ImageSource::read returns when the image ends early (a file that shrank after it
// was checked): reported as a truncated file.
inline constexpr int kImageEnded = -1;

// Where an image is read from: read() fills `out` from `offset`, which the caller has
// checked lies within the image; 0, an errno or kImageEnded.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual int read(std::uint64_t offset, std::span<std::byte> out) = 0;
};

// The layout of `store`'s image; fails only for a store too large for a file this
// platform could load again.
base::Expected<StoreLayout, FormatError> image_layout(const Vectorstore& store);

// 0 or the sink's errno.
int write_image(const Vectorstore& store, const StoreLayout& layout, ImageSink& sink);

// A store of the sections `header` describes (checked by decode_header), read from
// `source` and each checked against its checksum. Nothing is allocated before the header
// has been checked against the image's true size.
base::Expected<Vectorstore, StoreError> read_image(const StoreHeader& header, ImageSource& source);

// A store whose complete blocks stay in `image` (kept alive by `owner`) and are read in
// place; only the tail's records are copied. Section checksums are not computed: the
// header and the sizes are checked, the records trusted.
Vectorstore adopt_image(const StoreHeader& header, std::span<const std::byte> image, std::shared_ptr<const void> owner);

}  // namespace tarnix::core

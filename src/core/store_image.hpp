// A store's file image in memory: what pickling carries.
#pragma once

#include <cstddef>
#include <span>

#include "base/expected.hpp"
#include "core/store.hpp"
#include "core/store_format.hpp"

namespace tarnix::core {

// Writes the image image_layout(store) describes into `out`, exactly total_bytes long.
void write_image_to(const Vectorstore& store, const StoreLayout& layout, std::span<std::byte> out);

// A store read from an image in memory, checked as a loaded file is.
base::Expected<Vectorstore, FormatError> read_image_from(std::span<const std::byte> image);

}  // namespace tarnix::core

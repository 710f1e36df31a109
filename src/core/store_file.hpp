// Saving a store to a file and loading it back, read into memory or mapped.
#pragma once

#include <string>

#include "base/expected.hpp"
#include "core/store.hpp"
#include "core/store_codec.hpp"

namespace tarnix::core {

// Writes the store to a new file beside `path`, flushed to the disk, then renames it over
// `path` and flushes the directory: `path` holds the old file or the new one, whole,
// whatever fails when, and on failure no other file is left behind. An existing file's
// permissions carry over to the new one; a new file gets 0644.
base::Expected<base::Done, StoreError> save_store(const Vectorstore& store, const std::string& path);

// A store read from the file at `path`, every section checked against its checksum.
// With `map`, the file is mapped read-only and the complete blocks are searched where
// they lie: the header and the sizes are checked against the file's size, the records
// are trusted (adopt_image). The file must not change while the store lives.
base::Expected<Vectorstore, StoreError> load_store(const std::string& path, bool map);

}  // namespace tarnix::core

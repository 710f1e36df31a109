// Many queries in one call, each answered exactly as search() answers it alone.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/parallel_search.hpp"
#include "core/search.hpp"

namespace tarnix::core {

// The system of parallel_search, but for the control-group limit, which is read at most
// once a second: a small batch takes less time than reading those files.
inline ParallelSystem batch_system() {
  return ParallelSystem{.processor_count = [] { return threads::recent_processor_count(); }};
}

// What a query of the wrong length reports: `index` counts the queries from 0.
DimensionError wrong_batch_query_length(std::size_t index, std::size_t length, Size vector_size);

// Entry i is search(store, queries[i], top_k), element for element and bit for bit, for
// every thread count. All queries are checked before any is scored; the first of the
// wrong length is the failure. n_threads as parallel_search takes it (absent: the
// processor count, recently read, else 4; 0 behaves as 1). Touches nothing but its arguments, so it
// may run without the interpreter lock.
CoreResult<std::vector<std::vector<Hit>>> search_many(const Vectorstore& store,
                                                      std::span<const std::span<const float>> queries, Size top_k,
                                                      std::optional<Size> n_threads,
                                                      const ParallelSystem& system = batch_system());

}  // namespace tarnix::core

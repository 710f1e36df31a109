// Exact top-k search spread over worker threads, one contiguous chunk of records each.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/search.hpp"
#include "threads/processor_count.hpp"
#include "threads/scope.hpp"

namespace tarnix::core {

// What the parallel search needs from the system; tests substitute their own.
struct ParallelSystem {
  base::Expected<std::size_t, std::string> (*processor_count)() = [] { return threads::processor_count(); };
  threads::ThreadStarter start_thread = threads::start_posix_thread;
};

// Used when neither the caller nor the system says how many threads to use.
inline constexpr std::size_t kFallbackThreadCount = 4;

// ceil(count / max(threads, 1)): n_threads 0 behaves as 1.
std::size_t chunk_size(std::size_t count, std::size_t threads);

// The same result as search(), element for element.
CoreResult<std::vector<Hit>> parallel_search(const Vectorstore& store, std::span<const float> query, Size top_k,
                                             std::optional<Size> n_threads, const ParallelSystem& system = {});

}  // namespace tarnix::core

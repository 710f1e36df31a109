// Exact top-k search spread over worker threads, one contiguous chunk of records each.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "base/panic.hpp"
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

// The threads asked for: n_threads when given, else the processor count, else
// kFallbackThreadCount; capped by neither the work nor the processors.
std::size_t thread_count(std::optional<Size> n_threads, const ParallelSystem& system);

// job(i) for every i below count, each on a worker of its own within one scope, and
// their results in order of i. A worker that cannot start, or that panics, is a panic
// here (with a text that callers match word for word), once the scope has waited for all.
template <class T, class Job>
std::vector<T> run_on_workers(std::size_t count, const Job& job, const ParallelSystem& system) {
  return threads::run_scope(
      [&](threads::Scope& scope) {
        std::vector<threads::JoinHandle<T>> workers;
        workers.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
          auto started = scope.spawn<T>([&job, i] { return job(i); });
          if (!started) base::panic(std::move(started.error()));
          workers.push_back(started.take_value());
        }
        std::vector<T> results;
        results.reserve(workers.size());
        for (auto& worker : workers) {
          auto joined = worker.join();
          if (!joined) base::panic("called `Result::unwrap()` on an `Err` value: " + joined.error().message);
          results.push_back(joined.take_value());
        }
        return results;
      },
      system.start_thread);
}

// The same result as search(), element for element.
CoreResult<std::vector<Hit>> parallel_search(const Vectorstore& store, std::span<const float> query, Size top_k,
                                             std::optional<Size> n_threads, const ParallelSystem& system = {});

}  // namespace tarnix::core

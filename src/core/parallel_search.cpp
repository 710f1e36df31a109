// The parallel search: chunk, score and select on workers, merge in chunk order, select again.
#include "core/parallel_search.hpp"

#include <algorithm>

namespace tarnix::core {

std::size_t chunk_size(std::size_t count, std::size_t threads) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  return count / t + (count % t != 0 ? 1 : 0);
}

CoreResult<std::vector<Hit>> parallel_search(const Vectorstore& store, std::span<const float> query, Size top_k,
                                             std::optional<Size> n_threads, const ParallelSystem& system) {
  // 2. The query is checked before anything else, the empty store included.
  if (query.size() != store.vector_size()) return fail(wrong_query_length(query.size(), store.vector_size()));
  // 3. Nothing to score: no thread, no processor query.
  const std::size_t count = store.size();
  if (count == 0) return std::vector<Hit>{};
  // 4. and 5. Not capped by the number of records or processors.
  std::size_t threads = kFallbackThreadCount;
  if (n_threads) {
    threads = *n_threads;
  } else if (auto counted = system.processor_count()) {
    threads = counted.value();
  }
  const std::size_t size = chunk_size(count, threads);
  const PreparedQuery prepared = prepare_query(query);

  // 6. to 9. Workers only read the query and their chunk; each keeps its own best top_k,
  // which holds every record of its chunk that belongs to the overall best top_k.
  using Chunk = std::vector<Candidate>;
  std::vector<Candidate> merged = threads::run_scope(
      [&](threads::Scope& scope) {
        std::vector<threads::JoinHandle<Chunk>> workers;
        workers.reserve((count + size - 1) / size);
        for (std::size_t start = 0; start < count; start += size) {
          const std::size_t stop = start + std::min(size, count - start);
          auto started = scope.spawn<Chunk>(
              [&store, &prepared, start, stop, top_k] { return best_of_range(store, prepared, start, stop, top_k); });
          if (!started) panic(std::move(started.error()));
          workers.push_back(started.take_value());
        }
        Chunk all;
        for (auto& worker : workers) {
          auto joined = worker.join();
          if (!joined) panic("called `Result::unwrap()` on an `Err` value: " + joined.error().message);
          const Chunk& best = joined.value();
          all.insert(all.end(), best.begin(), best.end());
        }
        return all;
      },
      system.start_thread);

  // 10. Candidates keep their record positions, so equal scores still come out in
  // insertion order.
  keep_best(merged, top_k);
  return to_hits(store, merged);
}

}  // namespace tarnix::core

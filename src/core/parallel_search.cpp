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
  const std::span<const StoredVector> records = store.records();
  if (records.empty()) return std::vector<Hit>{};
  // 4. and 5. Not capped by the number of records or processors.
  std::size_t threads = kFallbackThreadCount;
  if (n_threads) {
    threads = *n_threads;
  } else if (auto counted = system.processor_count()) {
    threads = counted.value();
  }
  const std::size_t size = chunk_size(records.size(), threads);

  // 6. to 9. Workers only read the query and their chunk; each keeps its own best top_k,
  // which holds every record of its chunk that belongs to the overall best top_k.
  using Chunk = std::vector<Candidate>;
  std::vector<Candidate> merged = threads::run_scope(
      [&](threads::Scope& scope) {
        std::vector<threads::JoinHandle<Chunk>> workers;
        workers.reserve((records.size() + size - 1) / size);
        for (std::size_t start = 0; start < records.size(); start += size) {
          const auto chunk = records.subspan(start, std::min(size, records.size() - start));
          auto started = scope.spawn<Chunk>([chunk, query, top_k] {
            Chunk candidates = score_records(chunk, query);
            keep_best(candidates, top_k);
            return candidates;
          });
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

  // 10. Stable in chunk order, so equal scores still come out in insertion order.
  keep_best(merged, top_k);
  return to_hits(merged);
}

}  // namespace tarnix::core

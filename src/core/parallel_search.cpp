// The parallel search: chunk, score and select on workers, merge in chunk order, select again.
#include "core/parallel_search.hpp"

#include <algorithm>

namespace tarnix::core {

std::size_t chunk_size(std::size_t count, std::size_t threads) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  return count / t + (count % t != 0 ? 1 : 0);
}

// The search, in these steps:
// 1. the query is checked before anything else, the empty store included;
// 2. an empty store starts no thread and asks no processor count;
// 3. the thread count is n_threads, else the processor count, else 4, capped by neither
//    the records nor the processors; the chunks are its share of the records, rounded up;
// 4. one worker per chunk, in chunk order, keeps its chunk's best top_k, which holds
//    every record of the chunk that belongs to the overall best top_k;
// 5. the workers are joined in chunk order (a panicked one is a panic here, with a text
//    that callers match word for word), and the scope waits for all of them;
// 6. the lists are merged, best first.
CoreResult<std::vector<Hit>> parallel_search(const Vectorstore& store, std::span<const float> query, Size top_k,
                                             std::optional<Size> n_threads, const ParallelSystem& system) {
  // 1.
  if (query.size() != store.vector_size()) return base::fail(wrong_query_length(query.size(), store.vector_size()));
  // 2.
  const std::size_t count = store.size();
  if (count == 0) return std::vector<Hit>{};
  // 3.
  std::size_t threads = kFallbackThreadCount;
  if (n_threads) {
    threads = *n_threads;
  } else if (auto counted = system.processor_count()) {
    threads = counted.value();
  }
  const std::size_t size = chunk_size(count, threads);
  const PreparedQuery prepared = prepare_query(query);

  // 4. and 5. Workers only read the query and their chunk.
  using Chunk = std::vector<Candidate>;
  const std::vector<Chunk> lists = threads::run_scope(
      [&](threads::Scope& scope) {
        std::vector<threads::JoinHandle<Chunk>> workers;
        workers.reserve((count + size - 1) / size);
        for (std::size_t start = 0; start < count; start += size) {
          const std::size_t stop = start + std::min(size, count - start);
          auto started = scope.spawn<Chunk>(
              [&store, &prepared, start, stop, top_k] { return best_of_range(store, prepared, start, stop, top_k); });
          if (!started) base::panic(std::move(started.error()));
          workers.push_back(started.take_value());
        }
        std::vector<Chunk> lists;
        lists.reserve(workers.size());
        for (auto& worker : workers) {
          auto joined = worker.join();
          if (!joined) base::panic("called `Result::unwrap()` on an `Err` value: " + joined.error().message);
          lists.push_back(joined.take_value());
        }
        return lists;
      },
      system.start_thread);

  // 6. Each list is already in order and candidates keep their record positions, so a
  // merge gives what a stable sort of the lists in chunk order would, equal scores in
  // insertion order.
  return to_hits(store, merge_best(lists, top_k));
}

}  // namespace tarnix::core

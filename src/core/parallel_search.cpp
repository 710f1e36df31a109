// The parallel search: chunk, score and select on workers, merge in chunk order, select again.
#include "core/parallel_search.hpp"

#include <algorithm>

#include "core/pruned_search.hpp"

namespace tarnix::core {

std::size_t chunk_size(std::size_t count, std::size_t threads) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  return count / t + (count % t != 0 ? 1 : 0);
}

std::size_t thread_count(std::optional<Size> n_threads, const ParallelSystem& system) {
  if (n_threads) return *n_threads;
  if (auto counted = system.processor_count()) return counted.value();
  return kFallbackThreadCount;
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
  const std::size_t threads = thread_count(n_threads, system);
  const std::size_t size = chunk_size(count, threads);
  const PreparedQuery prepared = prepare_query(query);
  const std::optional<SketchedQuery> sketched = sketch_query_for(store, prepared);  // none without a sketch

  // 4. and 5. Workers only read the query and their chunk.
  const std::size_t chunks = (count + size - 1) / size;
  const std::vector<std::vector<Candidate>> lists = run_on_workers<std::vector<Candidate>>(
      chunks,
      [&store, &prepared, &sketched, size, count, top_k](std::size_t chunk) {
        const std::size_t start = chunk * size;
        return best_of_range_sketched(store, prepared, sketched, start, start + std::min(size, count - start), top_k);
      },
      system);

  // 6. Each list is already in order and candidates keep their record positions, so a
  // merge gives what a stable sort of the lists in chunk order would, equal scores in
  // insertion order.
  return to_hits(store, merge_best(lists, top_k));
}

}  // namespace tarnix::core

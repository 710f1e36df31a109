// The batch search: the queries packed side by side, the records cut into chunks of whole
// blocks, one worker per chunk scoring every query against it, the chunks' lists merged
// per query.
#include "core/search_many.hpp"

#include <algorithm>

#include "core/cosine.hpp"
#include "core/kernels.hpp"
#include "core/pruned_search.hpp"

namespace tarnix::core {
namespace {

// Queries scored against a block per kernel call: their scores (kBlockLanes each) stay in
// the first-level cache until they are offered, and the block stays there meanwhile.
constexpr std::size_t kQueriesPerCall = 64;

// The queries side by side, each with its norm computed as search() computes it.
struct PackedQueries {
  std::vector<float> values;  // count rows of dimension floats
  std::vector<float> norms;
  std::size_t count;
  std::size_t dimension;
};

// Every query packed for the batch kernel, and, where the store has a sketch that covers
// it, its sketched form.
struct BatchQueries {
  PackedQueries packed;
  std::vector<PreparedQuery> prepared;
  std::vector<std::optional<SketchedQuery>> sketched;
};

BatchQueries prepare(const Vectorstore& store, std::span<const std::span<const float>> queries,
                     std::size_t dimension) {
  BatchQueries batch{PackedQueries{{}, {}, queries.size(), dimension}, {}, {}};
  batch.packed.values.reserve(queries.size() * dimension);
  for (const std::span<const float> query : queries) {
    batch.prepared.push_back(prepare_query(query));
    batch.sketched.push_back(sketch_query_for(store, batch.prepared.back()));
    batch.packed.values.insert(batch.packed.values.end(), query.begin(), query.end());
    batch.packed.norms.push_back(batch.prepared.back().norm);
  }
  return batch;
}

// The queries of `all` at `positions`, packed side by side.
PackedQueries subset(const PackedQueries& all, std::span<const std::size_t> positions) {
  PackedQueries some{{}, {}, positions.size(), all.dimension};
  some.values.reserve(positions.size() * all.dimension);
  for (const std::size_t q : positions) {
    const float* values = all.values.data() + q * all.dimension;
    some.values.insert(some.values.end(), values, values + all.dimension);
    some.norms.push_back(all.norms[q]);
  }
  return some;
}

// A worker's share: blocks [first_block, end_block), and the tail when `with_tail`.
struct Chunk {
  std::size_t first_block;
  std::size_t end_block;
  bool with_tail;
};

using Lists = std::vector<std::vector<Candidate>>;

// For each query, the best min(top_k, records) of the chunk, best first: the records are
// offered in record order, as best_of_range offers them.
Lists best_of_packed(const Vectorstore& store, const PackedQueries& queries, const Chunk& chunk, Size top_k) {
  const std::size_t dim = queries.dimension;
  const std::size_t tail = chunk.with_tail ? store.size() - store.complete_blocks() * kBlockLanes : 0;
  const std::size_t records = (chunk.end_block - chunk.first_block) * kBlockLanes + tail;
  std::vector<BestCandidates> best;
  best.reserve(queries.count);
  for (std::size_t q = 0; q < queries.count; ++q) best.emplace_back(top_k, records);

  const ScoreBatches score_batches = active_kernels().score_batches;
  std::vector<float> scores(std::min(kQueriesPerCall, queries.count) * kBlockLanes);
  for (std::size_t block = chunk.first_block; block < chunk.end_block; ++block) {
    const BlockRun run{store.block(block), store.block_floats(), store.lane_norms(block), kBlockLanes, 1, dim};
    const std::size_t first = block * kBlockLanes;
    for (std::size_t q0 = 0; q0 < queries.count; q0 += kQueriesPerCall) {
      const std::size_t n = std::min(kQueriesPerCall, queries.count - q0);
      const QueryTile tile{queries.values.data() + q0 * dim, dim, queries.norms.data() + q0, n};
      score_batches(run, tile, scores.data(), kBlockLanes);
      // Once a query's selection has filled, most blocks hold none of its best: one test
      // of the whole block passes them over.
      for (std::size_t q = 0; q < n; ++q) {
        const float* block_scores = scores.data() + q * kBlockLanes;
        if (best[q0 + q].admits_any<kBlockLanes>(block_scores))
          offer_scores(best[q0 + q], block_scores, first, first, first + kBlockLanes);
      }
    }
  }
  // The records waiting in the tail, fewer than a block, scored as search scores them.
  if (tail > 0) {
    const std::size_t first = store.complete_blocks() * kBlockLanes;
    for (std::size_t q = 0; q < queries.count; ++q) {
      row_scores(store.tail().data(), tail, dim, queries.values.data() + q * dim, queries.norms[q], scores.data());
      offer_scores(best[q], scores.data(), first, first, first + tail);
    }
  }
  Lists lists;
  lists.reserve(queries.count);
  for (BestCandidates& b : best) lists.push_back(b.take());
  return lists;
}

// Every query's list of the chunk, in the order of the batch. With a sketch, the queries
// it covers are pruned together, reading the chunk's codes once for all of them, and each
// scores exactly only its survivors; the batch kernel scores the others, and those for
// which too many records survive, against every record of the chunk.
Lists best_of_chunk(const Vectorstore& store, const BatchQueries& queries, const Chunk& chunk, Size top_k) {
  Lists lists(queries.prepared.size());
  const std::size_t begin = chunk.first_block * kBlockLanes;
  const std::size_t end = chunk.with_tail ? store.size() : chunk.end_block * kBlockLanes;
  std::vector<std::size_t> exhaustive;
  std::vector<std::size_t> pruned;
  std::vector<const SketchedQuery*> sketched;
  for (std::size_t q = 0; q < queries.sketched.size(); ++q) {
    if (queries.sketched[q] && worth_pruning(end - begin, top_k)) {
      pruned.push_back(q);
      sketched.push_back(&*queries.sketched[q]);
    } else {
      exhaustive.push_back(q);
    }
  }
  if (!pruned.empty()) {
    std::vector<std::optional<std::vector<Survivor>>> kept = survivors(*store.sketch(), sketched, begin, end, top_k);
    std::vector<std::size_t> rescored;
    std::vector<const PreparedQuery*> rescored_queries;
    std::vector<const std::vector<Survivor>*> rescored_kept;
    for (std::size_t i = 0; i < pruned.size(); ++i) {
      if (!kept[i]) {
        exhaustive.push_back(pruned[i]);
        continue;
      }
      rescored.push_back(pruned[i]);
      rescored_queries.push_back(&queries.prepared[pruned[i]]);
      rescored_kept.push_back(&*kept[i]);
    }
    Lists best = best_of_survivors(store, rescored_queries, rescored_kept, top_k);
    for (std::size_t i = 0; i < rescored.size(); ++i) lists[rescored[i]] = std::move(best[i]);
  }
  if (!exhaustive.empty()) {
    std::sort(exhaustive.begin(), exhaustive.end());
    PackedQueries some{};
    const bool all = exhaustive.size() == queries.prepared.size();
    if (!all) some = subset(queries.packed, exhaustive);
    Lists scanned = best_of_packed(store, all ? queries.packed : some, chunk, top_k);
    for (std::size_t i = 0; i < exhaustive.size(); ++i) lists[exhaustive[i]] = std::move(scanned[i]);
  }
  return lists;
}

}  // namespace

DimensionError wrong_batch_query_length(std::size_t index, std::size_t length, Size vector_size) {
  return {"query " + std::to_string(index) + " has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

// The search, in these steps:
// 1. every query is checked before anything else, the empty store included;
// 2. an empty batch, an empty store or top_k 0 scores nothing and starts no thread;
// 3. the thread count as parallel_search takes it; the chunks are its share of the
//    blocks, rounded up, the last one with the tail;
// 4. one chunk runs on the calling thread; more run one worker each, joined in chunk
//    order (a panicked one is a panic here, as in parallel_search);
//    with a sketch, the queries it covers are pruned as search() prunes one, all of them
//    in one pass over each chunk's codes, and give the lists the batch kernel would;
// 5. each query's lists are merged: every list is in candidate order with records named
//    by their position, so the merge is the order search() gives, whatever the chunks.
CoreResult<std::vector<std::vector<Hit>>> search_many(const Vectorstore& store,
                                                      std::span<const std::span<const float>> queries, Size top_k,
                                                      std::optional<Size> n_threads, const ParallelSystem& system) {
  // 1.
  const Size dim = store.vector_size();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (queries[i].size() != dim) return base::fail(wrong_batch_query_length(i, queries[i].size(), dim));
  }
  // 2.
  std::vector<std::vector<Hit>> results(queries.size());
  if (queries.empty() || store.size() == 0 || top_k == 0) return results;
  // 3.
  const std::size_t threads = thread_count(n_threads, system);
  const std::size_t blocks = store.complete_blocks();
  const std::size_t per_chunk = std::max<std::size_t>(1, chunk_size(blocks, threads));
  std::vector<Chunk> chunks;
  for (std::size_t first = 0; first < blocks || chunks.empty(); first += per_chunk)
    chunks.push_back(Chunk{first, std::min(blocks, first + per_chunk), false});
  chunks.back().with_tail = true;
  const BatchQueries packed = prepare(store, queries, dim);

  // 4.
  std::vector<Lists> per_chunk_lists;
  if (chunks.size() == 1) {
    per_chunk_lists.push_back(best_of_chunk(store, packed, chunks.front(), top_k));
  } else {
    per_chunk_lists = run_on_workers<Lists>(
        chunks.size(),
        [&store, &packed, &chunks, top_k](std::size_t i) { return best_of_chunk(store, packed, chunks[i], top_k); },
        system);
  }

  // 5.
  std::vector<std::vector<Candidate>> of_query(per_chunk_lists.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    for (std::size_t c = 0; c < per_chunk_lists.size(); ++c) of_query[c] = std::move(per_chunk_lists[c][q]);
    results[q] = to_hits(store, of_query.size() == 1 ? of_query.front() : merge_best(of_query, top_k));
  }
  return results;
}

}  // namespace tarnix::core

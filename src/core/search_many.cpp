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

// Batches of up to this many queries search each query alone with the sketch, when the
// store has one. Larger ones are faster through the batch kernel, which reads each block
// once for all of its queries, while each sketched search reads all the codes (a quarter
// of the floats) once per query: at 1,000,000 x 128 the two meet near four queries.
constexpr std::size_t kMostSketchedQueries = 4;

// The queries, and for each its position among all of them and, where the store has a
// sketch that covers it and the batch is small, its sketched form. The batch path packs
// the others.
struct BatchQueries {
  PackedQueries packed;
  std::vector<std::size_t> packed_positions;
  std::vector<PreparedQuery> sketched_prepared;
  std::vector<SketchedQuery> sketched;
  std::vector<std::size_t> sketched_positions;
};

BatchQueries split(const Vectorstore& store, std::span<const std::span<const float>> queries,
                   std::size_t dimension) {
  BatchQueries split{PackedQueries{{}, {}, 0, dimension}, {}, {}, {}, {}};
  const bool small = queries.size() <= kMostSketchedQueries;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const PreparedQuery prepared = prepare_query(queries[i]);
    std::optional<SketchedQuery> sketched;
    if (small) sketched = sketch_query_for(store, prepared);
    if (sketched) {
      split.sketched_prepared.push_back(prepared);
      split.sketched.push_back(std::move(*sketched));
      split.sketched_positions.push_back(i);
      continue;
    }
    PackedQueries& packed = split.packed;
    packed.values.insert(packed.values.end(), queries[i].begin(), queries[i].end());
    packed.norms.push_back(prepared.norm);
    ++packed.count;
    split.packed_positions.push_back(i);
  }
  return split;
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

// Every query's list of the chunk, in the order of the batch: the packed ones from the
// batch kernel, the sketched ones each from its own pruned search of the chunk's range.
Lists best_of_chunk(const Vectorstore& store, const BatchQueries& queries, const Chunk& chunk, Size top_k) {
  Lists lists(queries.packed_positions.size() + queries.sketched_positions.size());
  if (queries.packed.count > 0) {
    Lists packed = best_of_packed(store, queries.packed, chunk, top_k);
    for (std::size_t i = 0; i < packed.size(); ++i) lists[queries.packed_positions[i]] = std::move(packed[i]);
  }
  const std::size_t begin = chunk.first_block * kBlockLanes;
  const std::size_t end = chunk.with_tail ? store.size() : chunk.end_block * kBlockLanes;
  for (std::size_t i = 0; i < queries.sketched.size(); ++i) {
    lists[queries.sketched_positions[i]] =
        best_of_range_sketched(store, queries.sketched_prepared[i], queries.sketched[i], begin, end, top_k);
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
//    With a sketch and a small batch, each query the sketch covers is searched alone in
//    each chunk, with the pruning of search(), and gives the list the batch kernel would;
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
  const BatchQueries packed = split(store, queries, dim);

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

// Pruning with the sketch's bounds, then exact scores for the records that remain.
#include "core/pruned_search.hpp"

#include <algorithm>
#include <functional>  // std::greater
#include <limits>
#include <queue>

#include "core/cosine.hpp"
#include "core/kernels.hpp"

namespace tarnix::core {
namespace {

// Records estimated per kernel call.
constexpr std::size_t kRun = 256;

// top_k above this share of the range skips little: the exhaustive scan is cheaper.
constexpr std::size_t kLargestShareOfRange = 8;
// When the records that may belong to the best span more than this share of the blocks
// estimated so far (and a few), scoring them exactly would save too little: the search
// falls back to the exhaustive scan. It checks every kCheckEvery records, once it has
// estimated an eighth of the range (before that, tau has not yet risen to its final
// height), so that data where nothing can be skipped costs little more than that scan.
constexpr std::size_t kBlockShare = 8;
constexpr std::size_t kFewBlocks = 16;
constexpr std::size_t kCheckEvery = 64 * kBlockLanes;

// The k-th largest lower bound seen so far: -infinity until k have been seen.
class KthLargest {
 public:
  explicit KthLargest(std::size_t k) : k_(k) {}
  double value() const { return heap_.size() < k_ ? -std::numeric_limits<double>::infinity() : heap_.top(); }
  void offer(double lower) {
    if (heap_.size() < k_) {
      heap_.push(lower);
    } else if (lower > heap_.top()) {
      heap_.pop();
      heap_.push(lower);
    }
  }

 private:
  std::size_t k_;
  std::priority_queue<double, std::vector<double>, std::greater<double>> heap_;
};

// The survivors under the cut, in record order, and the number of blocks they span.
std::size_t keep_above(std::vector<Survivor>& kept, double cut) {
  std::erase_if(kept, [cut](const Survivor& s) { return s.upper < cut; });
  std::size_t blocks = 0;
  for (std::size_t i = 0; i < kept.size(); ++i)
    blocks += i == 0 || kept[i].record / kBlockLanes != kept[i - 1].record / kBlockLanes;
  return blocks;
}

// One query's steps 1 and 2 over a range, fed the integer dots of one run after another.
class Pruning {
 public:
  Pruning(const SketchedQuery& query, std::size_t begin, std::size_t end, Size top_k)
      : query_(&query),
        uppers_of_(active_kernels().sketch_uppers),
        word_dots_of_(active_kernels().sketch_word_dots),
        begin_(begin),
        first_check_(begin + (end - begin) / kBlockShare),
        tau_(top_k) {}

  // Takes the records [first, first + count) of a run, count <= kRun; false when, checked
  // here, the records kept span too many blocks to be worth scoring one by one.
  bool take(const Sketch& sketch, std::size_t first, std::size_t count, const double* dots) {
    const float* scales = sketch.scales() + first;
    const float* residuals = sketch.residuals() + first;
    // The upper bounds of the whole run first, in lanes; then, where any reaches the cut,
    // one comparison per record, which few pass once tau has risen.
    double uppers[kRun];
    const bool any = uppers_of_(*query_, dots, scales, residuals, count, cut_, uppers);
    for (std::size_t i = 0; any && i < count; ++i) {
      // An upper bound below the current k-th lower bound cannot reach the final k-th,
      // which is no lower; the record's lower bound, below it too, cannot raise it.
      if (uppers[i] < cut_) continue;
      const SketchedQuery* query = query_;
      double dot = dots[i];
      double upper = uppers[i];
      if (query_->words) {
        // A query in bytes: the record's estimate again from the words, whose bound is
        // tighter; both bounds hold, so the smaller upper one does.
        query = query_->words.get();
        word_dots_of_(sketch.codes(first + i), sketch.stride(), 1, &query, 1, &dot, 1);
      }
      const double estimate = score_estimate(*query, scales[i], dot);
      const double bound = score_bound(*query, estimate, residuals[i]);
      tau_.offer(estimate - bound);
      cut_ = tau_.value();
      if (query_->words) {
        upper = std::min(upper, estimate + bound);
        if (upper < cut_) continue;
      }
      kept_.push_back(Survivor{first + i, upper});
    }
    const std::size_t done = first + count;
    if (done < first_check_ || (done - begin_) % kCheckEvery >= kRun) return true;
    // Records kept span no more blocks than their number: only when there are more
    // than the blocks allowed need they be cut back and counted.
    const std::size_t allowed = (done - begin_) / kBlockLanes / kBlockShare + kFewBlocks;
    return kept_.size() <= allowed || keep_above(kept_, cut_) <= allowed;
  }

  std::vector<Survivor> take_kept() {
    keep_above(kept_, cut_);
    return std::move(kept_);
  }

 private:
  const SketchedQuery* query_;
  SketchUppers uppers_of_;
  SketchDots word_dots_of_;
  std::size_t begin_;
  std::size_t first_check_;
  KthLargest tau_;
  double cut_ = -std::numeric_limits<double>::infinity();
  std::vector<Survivor> kept_;
};

// Queries estimated per kernel call: their dots of a run stay in the first-level cache
// until they are taken, and the run's codes stay there meanwhile.
constexpr std::size_t kQueriesPerCall = 8;

// Queries scored against a kept block per batch kernel call.
constexpr std::size_t kQueriesPerTile = 64;

}  // namespace

bool worth_pruning(std::size_t records, Size top_k) {
  return top_k > 0 && top_k <= records / kLargestShareOfRange;
}

std::vector<std::optional<std::vector<Survivor>>> survivors(const Sketch& sketch,
                                                            std::span<const SketchedQuery* const> queries,
                                                            std::size_t begin, std::size_t end, Size top_k) {
  const SketchDots dots_of = active_kernels().sketch_dots;
  std::vector<Pruning> prunings;
  prunings.reserve(queries.size());
  for (const SketchedQuery* query : queries) prunings.emplace_back(*query, begin, end, top_k);
  std::vector<std::optional<std::vector<Survivor>>> kept(queries.size());
  // The queries still estimated, side by side for the kernel.
  std::vector<std::size_t> active(queries.size());
  std::vector<const SketchedQuery*> estimated(queries.begin(), queries.end());
  for (std::size_t q = 0; q < queries.size(); ++q) active[q] = q;
  std::vector<double> dots(std::min(kQueriesPerCall, queries.size()) * kRun);
  for (std::size_t first = begin; first < end && !active.empty(); first += kRun) {
    const std::size_t count = std::min(kRun, end - first);
    bool any_gave_up = false;
    for (std::size_t q0 = 0; q0 < active.size(); q0 += kQueriesPerCall) {
      const std::size_t n = std::min(kQueriesPerCall, active.size() - q0);
      dots_of(sketch.codes(first), sketch.stride(), count, estimated.data() + q0, n, dots.data(), kRun);
      for (std::size_t i = 0; i < n; ++i) {
        if (!prunings[active[q0 + i]].take(sketch, first, count, dots.data() + i * kRun)) {
          active[q0 + i] = queries.size();  // gave up: estimated no further
          any_gave_up = true;
        }
      }
    }
    if (any_gave_up) {
      std::erase(active, queries.size());
      for (std::size_t i = 0; i < active.size(); ++i) estimated[i] = queries[active[i]];
    }
  }
  for (std::size_t q : active) kept[q] = prunings[q].take_kept();
  return kept;
}

std::optional<SketchedQuery> sketch_query_for(const Vectorstore& store, const PreparedQuery& query) {
  const Sketch* sketch = store.sketch();
  if (!sketch) return std::nullopt;
  return sketch_query(*sketch, query.values, active_kernels().sketch_query_codes);
}

// The search, in these steps:
// 1. each record's estimate est and bound B from its codes: the exact kernel's score lies
//    in [est - B, est + B] (sketch.hpp), and a record whose score could be NaN, or that
//    the margin does not cover, has an infinite B;
// 2. tau, the k-th largest lower bound: k records score at least tau, so a record whose
//    upper bound is below tau strictly scores below k others and could neither be among
//    the best k nor tie at the cut; it is skipped (a NaN score is never below anything,
//    but its record has B infinite and is never skipped);
// 3. every other record gets the exhaustive search's exact score, from the same kernel,
//    scoring its whole block (a lane of a block alone would read a cache line per element);
// 4. the best of those, offered in record order, are the best of the range, ties included.
std::vector<std::vector<Candidate>> best_of_survivors(const Vectorstore& store,
                                                      std::span<const PreparedQuery* const> queries,
                                                      std::span<const std::vector<Survivor>* const> kept,
                                                      Size top_k) {
  const std::size_t blocked = store.complete_blocks() * kBlockLanes;
  const std::size_t dim = store.vector_size();
  std::vector<BestCandidates> best;
  best.reserve(queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) best.emplace_back(top_k, kept[q]->size());

  // The kept records in blocks, bucketed by block (a counting sort, stable, over the
  // blocks from the first kept to the last): within a block, by query and then by record,
  // so that each query is offered its records in record order, as best_of_range offers them.
  struct Kept {
    std::size_t query;
    std::size_t record;
  };
  std::size_t first_block = store.complete_blocks();
  std::size_t end_block = 0;
  for (const std::vector<Survivor>* survivors : kept) {
    for (const Survivor& s : *survivors) {
      if (s.record >= blocked) continue;
      first_block = std::min(first_block, s.record / kBlockLanes);
      end_block = std::max(end_block, s.record / kBlockLanes + 1);
    }
  }
  std::vector<std::size_t> starts(end_block > first_block ? end_block - first_block + 1 : 1, 0);
  for (const std::vector<Survivor>* survivors : kept)
    for (const Survivor& s : *survivors)
      if (s.record < blocked) ++starts[s.record / kBlockLanes - first_block + 1];
  for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::vector<Kept> in_blocks(starts.back());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t q = 0; q < queries.size(); ++q)
    for (const Survivor& s : *kept[q])
      if (s.record < blocked) in_blocks[next[s.record / kBlockLanes - first_block]++] = Kept{q, s.record};

  // Each block once, scored for the queries that keep records of it, a tile of them at a time.
  const ScoreBatches score_batches = active_kernels().score_batches;
  const ScoreBlocks score_blocks = active_kernels().score_blocks;
  const std::size_t tile_size = std::min(kQueriesPerTile, queries.size());
  std::vector<float> values(tile_size * dim), norms(tile_size), scores(tile_size * kBlockLanes);
  std::vector<std::size_t> tile_queries;
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const std::size_t block = first_block + i;
    const BlockRun run{store.block(block), store.block_floats(), store.lane_norms(block), kBlockLanes, 1, dim};
    std::size_t at = starts[i];
    const std::size_t end = starts[i + 1];
    while (at < end) {
      // The next tile: up to kQueriesPerTile distinct queries and their kept records.
      tile_queries.clear();
      std::size_t tile_end = at;
      while (tile_end < end && (tile_queries.size() < tile_size || in_blocks[tile_end].query == tile_queries.back())) {
        if (tile_queries.empty() || in_blocks[tile_end].query != tile_queries.back())
          tile_queries.push_back(in_blocks[tile_end].query);
        ++tile_end;
      }
      // A query alone is scored where it is by the one-query kernel; several are packed
      // side by side for the batch kernel (the same bits either way).
      if (tile_queries.size() == 1) {
        const PreparedQuery& query = *queries[tile_queries[0]];
        score_blocks(run, query.values.data(), query.norm, scores.data());
      } else {
        for (std::size_t t = 0; t < tile_queries.size(); ++t) {
          const PreparedQuery& query = *queries[tile_queries[t]];
          std::copy(query.values.begin(), query.values.end(), values.begin() + t * dim);
          norms[t] = query.norm;
        }
        score_batches(run, QueryTile{values.data(), dim, norms.data(), tile_queries.size()}, scores.data(),
                      kBlockLanes);
      }
      for (std::size_t t = 0; at < tile_end; ++at) {
        if (in_blocks[at].query != tile_queries[t]) ++t;
        const float score = scores[t * kBlockLanes + in_blocks[at].record % kBlockLanes];
        BestCandidates& b = best[in_blocks[at].query];
        if (b.admits(score)) b.offer(Candidate{score, in_blocks[at].record});
      }
    }
  }
  // The records waiting in the tail come after every block, for each query in record order.
  for (std::size_t q = 0; q < queries.size(); ++q) {
    for (const Survivor& s : *kept[q]) {
      if (s.record < blocked) continue;
      float score;
      row_scores(store.tail().data() + (s.record - blocked) * dim, 1, dim, queries[q]->values.data(),
                 queries[q]->norm, &score);
      if (best[q].admits(score)) best[q].offer(Candidate{score, s.record});
    }
  }
  std::vector<std::vector<Candidate>> lists;
  lists.reserve(best.size());
  for (BestCandidates& b : best) lists.push_back(b.take());
  return lists;
}

std::vector<Candidate> best_of_range_sketched(const Vectorstore& store, const PreparedQuery& query,
                                              const std::optional<SketchedQuery>& sketched, std::size_t begin,
                                              std::size_t end, Size top_k) {
  if (!sketched || !worth_pruning(end - begin, top_k)) return best_of_range(store, query, begin, end, top_k);
  // 1. and 2.
  const SketchedQuery* const one[] = {&*sketched};
  std::optional<std::vector<Survivor>> kept = std::move(survivors(*store.sketch(), one, begin, end, top_k).front());
  if (!kept) return best_of_range(store, query, begin, end, top_k);
  // 3. and 4.
  const PreparedQuery* const prepared[] = {&query};
  const std::vector<Survivor>* const kept_of[] = {&*kept};
  return std::move(best_of_survivors(store, prepared, kept_of, top_k).front());
}

}  // namespace tarnix::core

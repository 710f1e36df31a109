// The single-threaded exact search.
#include "core/search.hpp"

#include <cmath>  // std::sqrt

#include "core/kernels.hpp"
#include "core/cosine.hpp"
#include "core/pruned_search.hpp"

namespace tarnix::core {
namespace {

// Blocks scored per kernel call: enough to amortise the call, few enough that the
// scores stay in the first-level cache.
constexpr std::size_t kBlocksPerRun = 4;

// Scores checked together before any of them is looked at alone.
constexpr std::size_t kScoreGroup = 16;

}  // namespace

void offer_scores(BestCandidates& best, const float* scores, std::size_t first, std::size_t from, std::size_t to) {
  for (std::size_t group = from; group < to; group += kScoreGroup) {
    const std::size_t group_end = std::min(to, group + kScoreGroup);
    if (group_end - group == kScoreGroup && !best.admits_any<kScoreGroup>(scores + (group - first))) continue;
    for (std::size_t record = group; record < group_end; ++record) {
      const float score = scores[record - first];
      if (best.admits(score)) best.offer(Candidate{score, record});
    }
  }
}

PreparedQuery prepare_query(std::span<const float> query) {
  return PreparedQuery{query, std::sqrt(sum_of_squares(query))};
}

std::vector<Candidate> best_of_range(const Vectorstore& store, const PreparedQuery& query, std::size_t begin,
                                     std::size_t end, Size top_k) {
  BestCandidates best(top_k, end - begin);
  if (top_k == 0 || begin == end) return best.take();

  const ScoreBlocks scores_of = active_kernels().score_blocks;
  float scores[kBlocksPerRun * kBlockLanes];
  const std::size_t blocked_end = std::min(end, store.complete_blocks() * kBlockLanes);
  const std::size_t end_block = (blocked_end + kBlockLanes - 1) / kBlockLanes;
  for (std::size_t block = begin / kBlockLanes; block < end_block;) {
    const std::size_t first = block * kBlockLanes;
    const std::size_t count = std::min({kBlocksPerRun, end_block - block, store.contiguous_blocks_from(block)});
    const BlockRun run{store.block(block), store.block_floats(), store.lane_norms(block),
                       kBlockLanes, count, store.vector_size()};
    scores_of(run, query.values.data(), query.norm, scores);
    // The first and last blocks may hold records outside the range; they are not offered.
    offer_scores(best, scores, first, std::max(begin, first), std::min(blocked_end, first + count * kBlockLanes));
    block += count;
  }
  // The records waiting in the tail, fewer than a block.
  if (end > blocked_end) {
    const std::size_t first = std::max(begin, blocked_end);
    const std::size_t dim = store.vector_size();
    const float* rows = store.tail().data() + (first - store.complete_blocks() * kBlockLanes) * dim;
    row_scores(rows, end - first, dim, query.values.data(), query.norm, scores);
    offer_scores(best, scores, first, first, end);
  }
  return best.take();
}

std::vector<Candidate> merge_best(std::span<const std::vector<Candidate>> lists, Size top_k) {
  // The head of every list that still has candidates, in a heap whose top is the best head.
  struct Head {
    const Candidate* next;
    const Candidate* end;
  };
  const auto ranks_after = [](const Head& x, const Head& y) { return ranks_before(*y.next, *x.next); };
  std::vector<Head> heads;
  std::size_t total = 0;
  for (const std::vector<Candidate>& list : lists) {
    total += list.size();
    if (!list.empty()) heads.push_back(Head{list.data(), list.data() + list.size()});
  }
  std::make_heap(heads.begin(), heads.end(), ranks_after);
  const std::size_t kept = std::min<std::size_t>(top_k, total);
  std::vector<Candidate> best;
  best.reserve(kept);
  while (best.size() < kept) {
    std::pop_heap(heads.begin(), heads.end(), ranks_after);
    Head& head = heads.back();
    best.push_back(*head.next);
    if (++head.next == head.end) {
      heads.pop_back();
    } else {
      std::push_heap(heads.begin(), heads.end(), ranks_after);
    }
  }
  return best;
}

std::vector<Hit> to_hits(const Vectorstore& store, const std::vector<Candidate>& candidates) {
  std::vector<Hit> hits;
  hits.reserve(candidates.size());
  for (const Candidate& c : candidates) hits.push_back(Hit{c.score, store.id(c.record)});
  return hits;
}

DimensionError wrong_query_length(std::size_t length, Size vector_size) {
  return {"query has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

CoreResult<std::vector<Hit>> search(const Vectorstore& store, std::span<const float> query, Size top_k) {
  if (query.size() != store.vector_size())
    return base::fail(wrong_query_length(query.size(), store.vector_size()));
  const PreparedQuery prepared = prepare_query(query);
  // Without a sketch, best_of_range itself.
  return to_hits(store, best_of_range_sketched(store, prepared, sketch_query_for(store, prepared), 0, store.size(), top_k));
}

}  // namespace tarnix::core

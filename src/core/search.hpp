// Exact top-k search: the candidate order, scoring a run of records, and the single-threaded search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <span>
#include <vector>

#include "core/store.hpp"

namespace tarnix::core {

// One entry of a search result: the score and the id of the record that earned it.
struct Hit {
  float score;
  std::uint64_t id;
};

// A scored record, named by its position in the store.
struct Candidate {
  float score;
  std::size_t record;
};

// The candidate order: higher score first, NaN scores after every other score.
// Equal scores (+0.0 and -0.0 included) and NaNs among themselves are equivalent.
inline bool precedes(const Candidate& x, const Candidate& y) noexcept {
  if (x.score != x.score) return false;
  if (y.score != y.score) return true;
  return x.score > y.score;
}

// The candidate order with equivalent candidates in record order: what a stable sort of
// candidates created in record order produces, as a total order that needs no stability.
inline bool ranks_before(const Candidate& x, const Candidate& y) noexcept {
  if (precedes(x, y)) return true;
  if (precedes(y, x)) return false;
  return x.record < y.record;
}

// The best `limit` of candidates offered in record order, without sorting them all:
// a heap whose top is the worst kept.
class BestCandidates {
 public:
  explicit BestCandidates(std::size_t limit) : limit_(limit), open_(limit > 0) { kept_.reserve(limit); }

  // False for a score that offer() would certainly drop: the cheap test run on every record.
  bool admits(float score) const { return open_ || score > bar_; }
  // Whether any of kGroup scores may be kept: one branch for the group, which compiles
  // to a few vector compares. Once the heap is full, few groups have such a score.
  template <std::size_t kGroup>
  bool admits_any(const float* scores) const {
    static_assert(kGroup % 4 == 0);
    using Floats = float __attribute__((vector_size(16)));
    using Flags = std::int32_t __attribute__((vector_size(16)));
    if (open_) return true;
    Flags above{};
    for (std::size_t i = 0; i < kGroup; i += 4) {
      Floats four;
      std::memcpy(&four, scores + i, sizeof four);
      above |= four > bar_;  // false for NaN, as in admits
    }
    return (above[0] | above[1] | above[2] | above[3]) != 0;
  }

  // Records arrive in order, so once the heap is full a later one displaces the worst
  // kept only with a strictly better score: a tie keeps the earlier record.
  void offer(const Candidate& candidate) {
    if (kept_.size() < limit_) {
      kept_.push_back(candidate);
      std::push_heap(kept_.begin(), kept_.end(), ranks_before);
    } else if (limit_ > 0 && precedes(candidate, kept_.front())) {
      std::pop_heap(kept_.begin(), kept_.end(), ranks_before);
      kept_.back() = candidate;
      std::push_heap(kept_.begin(), kept_.end(), ranks_before);
    } else {
      return;
    }
    if (kept_.size() == limit_) {
      // Once full, a candidate must beat the worst kept; a NaN worst is beaten by any
      // number, which the score comparison alone cannot express.
      bar_ = kept_.front().score;
      open_ = bar_ != bar_;
    }
  }

  // The kept candidates, best first.
  std::vector<Candidate> take() {
    std::sort_heap(kept_.begin(), kept_.end(), ranks_before);
    return std::move(kept_);
  }

 private:
  std::size_t limit_;
  bool open_;
  float bar_ = 0.0f;
  std::vector<Candidate> kept_;
};

// A query checked against the store, with its norm computed once.
struct PreparedQuery {
  std::span<const float> values;
  float norm;
};

PreparedQuery prepare_query(std::span<const float> query);

// The best min(top_k, end - begin) of records [begin, end), best first.
std::vector<Candidate> best_of_range(const Vectorstore& store, const PreparedQuery& query, std::size_t begin,
                                     std::size_t end, Size top_k);

// Orders candidates by ranks_before and keeps the first min(top_k, count).
void keep_best(std::vector<Candidate>& candidates, Size top_k);

std::vector<Hit> to_hits(const Vectorstore& store, const std::vector<Candidate>& candidates);

DimensionError wrong_query_length(std::size_t length, Size vector_size);

CoreResult<std::vector<Hit>> search(const Vectorstore& store, std::span<const float> query, Size top_k);

}  // namespace tarnix::core

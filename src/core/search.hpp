// Exact top-k search: the candidate order, scoring a run of records, and the single-threaded search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <limits>
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
inline bool better_score(const Candidate& x, const Candidate& y) noexcept {
  if (x.score != x.score) return false;
  if (y.score != y.score) return true;
  return x.score > y.score;
}

// The candidate order with equivalent candidates in record order: what a stable sort of
// candidates created in record order produces, as a total order that needs no stability.
inline bool ranks_before(const Candidate& x, const Candidate& y) noexcept {
  if (better_score(x, y)) return true;
  if (better_score(y, x)) return false;
  return x.record < y.record;
}

// The best min(top_k, count) of `count` candidates offered in record order, best first,
// for the cost of one pass over them and a sort of those kept, whatever top_k and the
// order of the scores. Candidates collect in a buffer of twice the number kept (and some
// slack), cut back to the best by nth_element whenever it fills; the worst kept is then a
// bar that a later candidate must beat, so most are dropped by one comparison. (A bounded
// heap pays log(top_k) for every record that beats its worst, which records in ascending
// score order all do.) For top_k above about count / 2 the buffer holds every candidate
// and they are selected once.
class BestCandidates {
 public:
  BestCandidates(std::size_t top_k, std::size_t count)
      : limit_(std::min(top_k, count)),
        capacity_(limit_ >= count / 2 ? count : std::min(count, 2 * limit_ + kSlack)),
        open_(limit_ > 0) {
    if (limit_ > 0) kept_.reserve(capacity_);
  }

  // False for a score that cannot be among the best: the cheap test run on every record.
  bool admits(float score) const { return open_ || score > bar_; }
  // Whether any of kGroup scores may be kept: one branch for the group, which compiles
  // to a few vector compares. Once the buffer has been cut, few groups have such a score.
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

  void offer(const Candidate& candidate) {
    if (limit_ == 0) return;
    kept_.push_back(candidate);
    if (kept_.size() >= capacity_ && kept_.size() > limit_) cut();
  }

  // The kept candidates, best first.
  std::vector<Candidate> take() {
    if (kept_.size() > limit_) {
      std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(limit_), kept_.end(), ranks_before);
      kept_.resize(limit_);
    }
    std::sort(kept_.begin(), kept_.end(), ranks_before);
    return std::move(kept_);
  }

 private:
  // Enough that a small top_k is not cut back every few candidates.
  static constexpr std::size_t kSlack = 256;

  // Keeps the best limit_, the worst of them last. Records arrive in order, so a later one
  // ranks before that worst only with a strictly better score: a tie keeps the earlier
  // record. A NaN worst is beaten by any number, which the score comparison alone
  // cannot express.
  void cut() {
    std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(limit_ - 1), kept_.end(),
                     ranks_before);
    kept_.resize(limit_);
    bar_ = kept_.back().score;
    open_ = bar_ != bar_;
  }

  std::size_t limit_;
  std::size_t capacity_;
  bool open_;
  float bar_ = std::numeric_limits<float>::infinity();  // admits nothing until open_ says otherwise
  std::vector<Candidate> kept_;
};

// Offers records [from, to) in record order, whose scores start at scores[0] for record
// `first`: groups of scores that cannot be kept are passed over with one test.
void offer_scores(BestCandidates& best, const float* scores, std::size_t first, std::size_t from, std::size_t to);

// A query checked against the store, with its norm computed once.
struct PreparedQuery {
  std::span<const float> values;
  float norm;
};

PreparedQuery prepare_query(std::span<const float> query);

// The best min(top_k, end - begin) of records [begin, end), best first.
std::vector<Candidate> best_of_range(const Vectorstore& store, const PreparedQuery& query, std::size_t begin,
                                     std::size_t end, Size top_k);

// The first min(top_k, total) of lists that are each in ranks_before order: what sorting
// their concatenation and cutting it would give, by a merge that reads only what it keeps.
std::vector<Candidate> merge_best(std::span<const std::vector<Candidate>> lists, Size top_k);

std::vector<Hit> to_hits(const Vectorstore& store, const std::vector<Candidate>& candidates);

DimensionError wrong_query_length(std::size_t length, Size vector_size);

CoreResult<std::vector<Hit>> search(const Vectorstore& store, std::span<const float> query, Size top_k);

}  // namespace tarnix::core

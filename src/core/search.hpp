// Exact top-k search: the candidate order, the scoring step and the single-threaded search.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/store.hpp"

namespace tarnix::core {

// One entry of a search result: the score and the id of the record that earned it.
struct Hit {
  float score;
  std::uint64_t id;
};

// A scored record; borrows the record for as long as the store is borrowed.
struct Candidate {
  float score;
  const StoredVector* record;
};

// The candidate order: higher score first, NaN scores after every other score.
// Equal scores (+0.0 and -0.0 included) and NaNs among themselves are equivalent,
// so a stable sort keeps them in record order.
inline bool precedes(const Candidate& x, const Candidate& y) noexcept {
  if (x.score != x.score) return false;
  if (y.score != y.score) return true;
  return x.score > y.score;
}

// One candidate per record of the run, in the run's order, scored against the query.
std::vector<Candidate> score_records(std::span<const StoredVector> run, std::span<const float> query);

// Sorts stably in the candidate order and keeps the first min(top_k, count).
void keep_best(std::vector<Candidate>& candidates, Size top_k);

std::vector<Hit> to_hits(const std::vector<Candidate>& candidates);

DimensionError wrong_query_length(std::size_t length, Size vector_size);

CoreResult<std::vector<Hit>> search(const Vectorstore& store, std::span<const float> query, Size top_k);

}  // namespace tarnix::core

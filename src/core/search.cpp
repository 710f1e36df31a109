// The single-threaded exact search.
#include "core/search.hpp"

#include <algorithm>  // std::stable_sort, std::min

#include "core/kernel.hpp"

namespace tarnix::core {

std::vector<Candidate> score_records(std::span<const StoredVector> run, std::span<const float> query) {
  std::vector<Candidate> candidates;
  candidates.reserve(run.size());
  for (const StoredVector& record : run)
    candidates.push_back(Candidate{cosine_similarity(query, record.vector), &record});
  return candidates;
}

void keep_best(std::vector<Candidate>& candidates, Size top_k) {
  if (candidates.size() >= 2) std::stable_sort(candidates.begin(), candidates.end(), precedes);
  candidates.resize(std::min<std::size_t>(top_k, candidates.size()));
}

std::vector<Hit> to_hits(const std::vector<Candidate>& candidates) {
  std::vector<Hit> hits;
  hits.reserve(candidates.size());
  for (const Candidate& c : candidates) hits.push_back(Hit{c.score, c.record->id});
  return hits;
}

DimensionError wrong_query_length(std::size_t length, Size vector_size) {
  return {"query has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size)};
}

CoreResult<std::vector<Hit>> search(const Vectorstore& store, std::span<const float> query, Size top_k) {
  if (query.size() != store.vector_size())
    return fail(wrong_query_length(query.size(), store.vector_size()));
  std::vector<Candidate> candidates = score_records(store.records(), query);
  keep_best(candidates, top_k);
  return to_hits(candidates);
}

}  // namespace tarnix::core

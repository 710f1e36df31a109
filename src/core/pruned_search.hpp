// The search with a sketch: records whose bound proves they cannot make the top k are
// skipped, and the answer is the exhaustive search's, bit for bit.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/search.hpp"
#include "core/sketch.hpp"

namespace tarnix::core {

// The query as the sketch reads it, when the store has a sketch and the query is one the
// bound covers; otherwise nothing, and searches take the exhaustive path.
std::optional<SketchedQuery> sketch_query_for(const Vectorstore& store, const PreparedQuery& query);

// A record that may belong to the best: its position and the upper bound of its score.
struct Survivor {
  std::size_t record;
  double upper;
};

// Whether pruning a range of `records` can pay for top_k: a top_k above an eighth of the
// range skips little, and the exhaustive scan is cheaper.
bool worth_pruning(std::size_t records, Size top_k);

// Steps 1 and 2 of best_of_range_sketched for each of `queries` at once, the codes of the
// range read once for all of them: entry q holds the records of [begin, end) that the
// bounds cannot rule out for queries[q], in record order, or nothing when they span too
// many blocks (more than an eighth of those estimated so far, and a few, checked from an
// eighth of the range on); such a query is estimated no further.
std::vector<std::optional<std::vector<Survivor>>> survivors(const Sketch& sketch,
                                                            std::span<const SketchedQuery* const> queries,
                                                            std::size_t begin, std::size_t end, Size top_k);

// Steps 3 and 4 for each of `queries`: entry q is the best min(top_k, records) of the
// range when `kept[q]` are its survivors for queries[q]. One pass over the blocks they
// name: a block that several queries keep records of is read once and scored for all of
// them by the batch kernel, with score_blocks' bits.
std::vector<std::vector<Candidate>> best_of_survivors(const Vectorstore& store,
                                                      std::span<const PreparedQuery* const> queries,
                                                      std::span<const std::vector<Survivor>* const> kept,
                                                      Size top_k);

// best_of_range's result, element for element and bit for bit. With a sketched query it
// reads the codes of the range first and scores exactly only the records that may belong
// to the best; when too many may, or without one, it is best_of_range itself.
std::vector<Candidate> best_of_range_sketched(const Vectorstore& store, const PreparedQuery& query,
                                              const std::optional<SketchedQuery>& sketched, std::size_t begin,
                                              std::size_t end, Size top_k);

}  // namespace tarnix::core

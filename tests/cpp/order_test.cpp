// The candidate order: std::stable_sort is only defined for a strict weak ordering, and
// NaN scores (a NaN query, a stored NaN) must not break that, whatever else is in the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/search.hpp"

namespace tarnix::core {
namespace {

using Ids = std::vector<std::uint64_t>;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Candidate scored(float score) { return Candidate{score, 0}; }

TEST(Precedes, IsAStrictWeakOrderingWithNaNLast) {
  const float values[] = {-kInf, -1.0f, -0.0f, 0.0f, 1e-45f, 0.5f, 1.0f, kInf, kNaN, -kNaN};
  auto lt = [](float x, float y) { return precedes(scored(x), scored(y)); };
  auto equiv = [&](float x, float y) { return !lt(x, y) && !lt(y, x); };
  auto implies = [](bool p, bool q) { return !p || q; };
  for (float x : values) {
    EXPECT_FALSE(lt(x, x)) << x;
    for (float y : values) {
      EXPECT_TRUE(implies(lt(x, y), !lt(y, x))) << x << ", " << y;
      EXPECT_TRUE(implies(!std::isnan(x) && std::isnan(y), lt(x, y))) << x << " before NaN";
      for (float z : values) {
        EXPECT_TRUE(implies(lt(x, y) && lt(y, z), lt(x, z))) << x << ", " << y << ", " << z;
        EXPECT_TRUE(implies(equiv(x, y) && equiv(y, z), equiv(x, z))) << x << ", " << y << ", " << z;
      }
    }
  }
  EXPECT_TRUE(equiv(0.0f, -0.0f));
  EXPECT_TRUE(equiv(kNaN, -kNaN));
  EXPECT_TRUE(lt(kInf, 1.0f));
}

// The ids kept from candidates with these scores, candidate i naming record i: by keep_best
// over the whole list, and by BestCandidates fed in record order as the search feeds it.
// Both must agree before either is returned.
Ids kept_ids(const std::vector<float>& scores, Size top_k) {
  std::vector<Candidate> candidates;
  BestCandidates best(std::min<std::size_t>(top_k, scores.size()));
  for (std::size_t i = 0; i < scores.size(); ++i) {
    candidates.push_back(Candidate{scores[i], i});
    if (best.admits(scores[i])) best.offer(candidates.back());
  }
  keep_best(candidates, top_k);
  const std::vector<Candidate> selected = best.take();
  Ids ids, selected_ids;
  for (const Candidate& c : candidates) {
    // The candidate carries the very score its record was given, bits and all.
    EXPECT_EQ(std::bit_cast<std::uint32_t>(c.score), std::bit_cast<std::uint32_t>(scores[c.record]));
    ids.push_back(c.record);
  }
  for (const Candidate& c : selected) selected_ids.push_back(c.record);
  EXPECT_EQ(selected_ids, ids) << "bounded selection and keep_best disagree";
  return ids;
}

TEST(KeepBest, Table) {
  struct Case {
    const char* name;
    std::vector<float> scores;
    Size top_k;
    Ids expected;
  };
  const Case cases[] = {
      {"descending, ties in insertion order", {0.5f, 0.9f, 0.5f, 0.9f}, 4, {1, 3, 0, 2}},
      {"signed zeros tie", {-0.0f, 0.0f, -0.0f, 0.0f}, 4, {0, 1, 2, 3}},
      {"signed zeros below a positive", {0.0f, -0.0f, 1e-45f}, 3, {2, 0, 1}},
      {"NaN last, in insertion order", {kNaN, 0.1f, -kNaN, -kInf, 1.0f}, 5, {4, 1, 3, 0, 2}},
      {"all NaN keep insertion order", {kNaN, kNaN, kNaN}, 2, {0, 1}},
      {"cut among ties keeps the earliest", {1.0f, 0.3f, 1.0f, 1.0f}, 2, {0, 2}},
      {"cut before NaN", {kNaN, 0.2f, kNaN}, 2, {1, 0}},
      {"infinities", {-kInf, kInf, 0.0f}, 3, {1, 2, 0}},
      {"top_k 0", {0.3f, 0.7f}, 0, {}},
      {"top_k above count", {0.3f, 0.7f}, 9, {1, 0}},
      {"largest top_k", {0.3f, 0.7f}, std::numeric_limits<Size>::max(), {1, 0}},
      {"single", {kNaN}, 1, {0}},
      {"empty", {}, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kept_ids(c.scores, c.top_k), c.expected);
  }
}

// Both selections keep exactly the first k of the full order: the non-NaN scores by descending
// value, stably, then the NaNs in insertion order.
TEST(KeepBest, AgreesWithFullStableSortOnRandomTies) {
  const float pool[] = {kNaN, -kNaN, -0.0f, 0.0f, 0.25f, 0.5f, -1.0f, 1.0f, kInf, -kInf};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> size_of(0, 200), which(0, std::size(pool) - 1);
  for (int round = 0; round < 2000; ++round) {
    std::vector<float> scores(size_of(rng));
    for (float& s : scores) s = pool[which(rng)];
    const Size top_k = static_cast<Size>(size_of(rng));

    Ids order(scores.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto not_nan = std::stable_partition(order.begin(), order.end(),
                                         [&](std::uint64_t i) { return !std::isnan(scores[i]); });
    std::stable_sort(order.begin(), not_nan,
                     [&](std::uint64_t i, std::uint64_t j) { return scores[i] > scores[j]; });
    order.resize(std::min<std::size_t>(top_k, order.size()));

    ASSERT_EQ(kept_ids(scores, top_k), order) << "round " << round;
  }
}

}  // namespace
}  // namespace tarnix::core

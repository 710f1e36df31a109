// The candidate order: std::stable_sort is only defined for a strict weak ordering, and
// NaN scores (a NaN query, a stored NaN) must not break that, whatever else is in the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
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
  auto lt = [](float x, float y) { return better_score(scored(x), scored(y)); };
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

// The ids kept from candidates with these scores, candidate i naming record i: by
// BestCandidates fed in record order through admits, as the search feeds it, and by
// merge_best over the best of three runs of them, as the parallel search cuts them. Both
// must agree before either is returned.
Ids kept_ids(const std::vector<float>& scores, Size top_k) {
  const auto best_of = [&](std::size_t begin, std::size_t end) {
    BestCandidates best(top_k, end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (best.admits(scores[i])) best.offer(Candidate{scores[i], i});
    }
    return best.take();
  };
  const std::size_t n = scores.size();
  const std::vector<Candidate> whole = best_of(0, n);
  const std::vector<std::vector<Candidate>> runs{best_of(0, n / 3), best_of(n / 3, n / 2), best_of(n / 2, n)};
  Ids ids, merged_ids;
  for (const Candidate& c : whole) {
    // The candidate carries the very score its record was given, bits and all.
    EXPECT_EQ(std::bit_cast<std::uint32_t>(c.score), std::bit_cast<std::uint32_t>(scores[c.record]));
    ids.push_back(c.record);
  }
  for (const Candidate& c : merge_best(runs, top_k)) merged_ids.push_back(c.record);
  EXPECT_EQ(merged_ids, ids) << "one selection and the merge of three disagree";
  return ids;
}

// The first top_k of a stable sort of the scores in the candidate order.
Ids stable_order(const std::vector<float>& scores, Size top_k) {
  Ids order(scores.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t i, std::uint64_t j) {
    return better_score(Candidate{scores[i], static_cast<std::size_t>(i)}, Candidate{scores[j], static_cast<std::size_t>(j)});
  });
  order.resize(std::min<std::size_t>(top_k, order.size()));
  return order;
}

TEST(BestCandidates, Table) {
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

// The selection keeps exactly the first k of the full order: the non-NaN scores by
// descending value, stably, then the NaNs in insertion order.
TEST(BestCandidates, AgreesWithFullStableSortOnRandomTies) {
  const float pool[] = {kNaN, -kNaN, -0.0f, 0.0f, 0.25f, 0.5f, -1.0f, 1.0f, kInf, -kInf};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> size_of(0, 200), which(0, std::size(pool) - 1);
  for (int round = 0; round < 2000; ++round) {
    std::vector<float> scores(size_of(rng));
    for (float& s : scores) s = pool[which(rng)];
    const Size top_k = static_cast<Size>(size_of(rng));
    ASSERT_EQ(kept_ids(scores, top_k), stable_order(scores, top_k)) << "round " << round;
  }
}

// Stores large enough that the selection's buffer fills and is cut back, many times for a
// small top_k, once or never near the top_k where it holds every candidate; the scores in
// the orders that cut it most (ascending: every record beats the worst kept) and least.
TEST(BestCandidates, AgreesWithFullStableSortWhenTheBufferIsCut) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> level(-40, 40);
  for (const std::size_t count : {std::size_t{300}, std::size_t{2500}}) {
    std::vector<float> random(count);
    for (float& s : random) s = static_cast<float>(level(rng)) / 8.0f;  // many ties
    for (std::size_t i = 0; i < count; i += 13) random[i] = (i % 2 ? kNaN : -0.0f);
    // The numbers in ascending order, then the NaNs; and all of that reversed.
    std::vector<float> ascending = random;
    const auto numbers_end =
        std::stable_partition(ascending.begin(), ascending.end(), [](float s) { return !std::isnan(s); });
    std::sort(ascending.begin(), numbers_end);
    const std::vector<float> descending(ascending.rbegin(), ascending.rend());
    std::vector<float> constant(count, 0.5f), nan(count, kNaN);
    for (std::size_t i = 0; i < count; i += 7) nan[i] = static_cast<float>(i % 5);
    const struct {
      const char* name;
      const std::vector<float>& scores;
    } orders[] = {{"random", random}, {"ascending", ascending}, {"descending", descending},
                  {"all tied", constant}, {"mostly NaN", nan}};
    const std::size_t half = count / 2, cut_free = count > 256 ? (count - 256) / 2 : 0;
    for (const auto& order : orders) {
      for (const std::size_t top_k : {std::size_t{1}, std::size_t{2}, std::size_t{10}, std::size_t{100},
                                      cut_free - 1, cut_free, cut_free + 1, half - 1, half, half + 1,
                                      count - 1, count, count + 1}) {
        SCOPED_TRACE(std::string(order.name) + ", " + std::to_string(count) + " records, top_k " +
                     std::to_string(top_k));
        const Size k = static_cast<Size>(top_k);
        ASSERT_EQ(kept_ids(order.scores, k), stable_order(order.scores, k));
      }
    }
  }
}

}  // namespace
}  // namespace tarnix::core

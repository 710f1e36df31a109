// The batch search: every query's answer is search()'s, bit for bit, whatever the number
// of queries, the thread count and where the store ends; the checks and how many threads
// it starts.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/search.hpp"
#include "core/search_many.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;

std::atomic<int> threads_started{0};

int counting_starter(pthread_t* thread, void* (*entry)(void*), void* argument) {
  threads_started.fetch_add(1);
  return threads::start_posix_thread(thread, entry, argument);
}

base::Expected<std::size_t, std::string> three_processors() { return std::size_t{3}; }

// Small integers (many exact ties, ±0), zero vectors and NaNs.
Vec random_vector(std::mt19937& rng, std::size_t dim) {
  std::uniform_int_distribution<int> small(-2, 2);
  std::uniform_int_distribution<int> roll(0, 19);
  Vec v(dim);
  const int kind = roll(rng);
  for (float& x : v) x = kind == 0 ? 0.0f : static_cast<float>(small(rng));
  if (dim > 0 && kind == 1) v[rng() % dim] = std::numeric_limits<float>::quiet_NaN();
  if (dim > 0 && kind == 2) v[rng() % dim] = -0.0f;
  return v;
}

void expect_same_hits(const std::vector<Hit>& got, const std::vector<Hit>& want, const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << where << ", hit " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score))
        << where << ", hit " << i;
  }
}

TEST(SearchMany, EveryQueryGetsWhatSearchGives) {
  std::mt19937 rng(2012);
  const ParallelSystem system{three_processors, counting_starter};
  for (std::size_t dim : {0, 1, 5, 33}) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, kBlockLanes - 1, kBlockLanes, 3 * kBlockLanes + 17}) {
      std::vector<StoredVector> records;
      for (std::size_t i = 0; i < count; ++i) records.push_back({random_vector(rng, dim), rng() % 7});
      const Vectorstore store = create_store(static_cast<Size>(dim), records).take_value();
      std::vector<Vec> rows;
      for (std::size_t q = 0; q < 9; ++q) rows.push_back(random_vector(rng, dim));
      if (count > 0) rows.push_back(records[count / 2].vector);
      const std::vector<std::span<const float>> queries(rows.begin(), rows.end());
      for (Size top_k : {Size{0}, Size{1}, Size{10}, static_cast<Size>(count + 1)}) {
        for (std::optional<Size> threads : {std::optional<Size>{}, std::optional<Size>{0}, std::optional<Size>{1},
                                            std::optional<Size>{2}, std::optional<Size>{7}}) {
          auto many = search_many(store, queries, top_k, threads, system);
          ASSERT_TRUE(many);
          ASSERT_EQ(many.value().size(), rows.size());
          for (std::size_t q = 0; q < rows.size(); ++q) {
            const std::string where = "dimension " + std::to_string(dim) + ", " + std::to_string(count) +
                                      " records, top_k " + std::to_string(top_k) + ", threads " +
                                      (threads ? std::to_string(*threads) : "default") + ", query " +
                                      std::to_string(q);
            expect_same_hits(many.value()[q], search(store, rows[q], top_k).take_value(), where);
          }
        }
      }
    }
  }
}

TEST(SearchMany, TheFirstQueryOfTheWrongLengthFailsBeforeAnyScoring) {
  std::vector<StoredVector> records{{{1.0f, 2.0f}, 1}};
  const Vectorstore store = create_store(2, records).take_value();
  const Vec good{1.0f, 0.0f}, short_one{1.0f}, long_one{1.0f, 2.0f, 3.0f};
  const std::vector<std::span<const float>> queries{good, long_one, short_one};
  threads_started = 0;
  auto many = search_many(store, queries, 1, 2, ParallelSystem{three_processors, counting_starter});
  ASSERT_FALSE(many);
  EXPECT_EQ(many.error().message, "query 1 has length 3 but vectorstore expects 2");
  EXPECT_EQ(threads_started.load(), 0);
  // An empty store checks its queries all the same.
  const Vectorstore empty(2);
  auto on_empty = search_many(empty, std::vector<std::span<const float>>{short_one}, 1, {});
  ASSERT_FALSE(on_empty);
  EXPECT_EQ(on_empty.error().message, "query 0 has length 1 but vectorstore expects 2");
}

TEST(SearchMany, StartsOneWorkerPerChunkOfBlocksAndNoneForOne) {
  std::mt19937 rng(7);
  std::vector<StoredVector> records;
  for (std::size_t i = 0; i < 5 * kBlockLanes + 3; ++i) records.push_back({random_vector(rng, 3), i});
  const Vectorstore store = create_store(3, records).take_value();
  const Vec query{1.0f, 2.0f, 3.0f};
  const std::vector<std::span<const float>> queries{query};
  const ParallelSystem system{three_processors, counting_starter};
  // threads -> workers: 5 blocks in chunks of ceil(5 / threads) blocks, the tail with the last.
  const std::pair<std::optional<Size>, int> cases[] = {{0, 0}, {1, 0}, {2, 2}, {{}, 3}, {7, 5}};
  for (const auto& [threads, workers] : cases) {
    threads_started = 0;
    ASSERT_TRUE(search_many(store, queries, 3, threads, system));
    EXPECT_EQ(threads_started.load(), workers) << (threads ? std::to_string(*threads) : "default");
  }
  threads_started = 0;
  const Vectorstore empty(3);
  auto on_empty = search_many(empty, queries, 3, 7, system);
  ASSERT_TRUE(on_empty);
  EXPECT_EQ(on_empty.value().size(), 1u);
  auto no_queries = search_many(store, {}, 3, 7, system);
  ASSERT_TRUE(no_queries);
  EXPECT_TRUE(no_queries.value().empty());
  EXPECT_EQ(threads_started.load(), 0);
}

}  // namespace
}  // namespace tarnix::core

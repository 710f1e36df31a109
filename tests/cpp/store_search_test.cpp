// The store's length checks and the search's results over a real store.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/cosine.hpp"
#include "core/search.hpp"
#include "core/store.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

using Vec = std::vector<float>;
using Ids = std::vector<std::uint64_t>;

Vectorstore make_store(Size vector_size, std::vector<StoredVector> records) {
  CoreResult<Vectorstore> store = create_store(vector_size, std::move(records));
  EXPECT_TRUE(store.ok());
  return store.take_value();
}

Ids ids_of(const std::vector<Hit>& hits) {
  Ids ids;
  for (const Hit& hit : hits) ids.push_back(hit.id);
  return ids;
}

TEST(Vectorstore, CreateNamesTheFirstBadLength) {
  CoreResult<Vectorstore> bad = create_store(2, {{{1, 2}, 1}, {{1}, 2}, {{1, 2, 3}, 3}});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "vector has length 1 but vectorstore expects 2");

  Vectorstore store = make_store(2, {{{1, 2}, 9}, {{3, 4}, 9}});
  EXPECT_EQ(store.size(), 2u);
  EXPECT_EQ(stored_vector(store, 1), (Vec{3, 4}));
  EXPECT_EQ(store.id(1), 9u);
}

TEST(Vectorstore, InsertRefusesWrongLengthAndLeavesStoreUnchanged) {
  Vectorstore store = make_store(2, {{{1, 2}, 1}});
  CoreResult<base::Done> bad = store.insert(Vec{1, 2, 3}, 5);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "vector has length 3 but vectorstore expects 2");
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(stored_vector(store, 0), (Vec{1, 2}));

  // A repeated id is a second record.
  ASSERT_TRUE(store.insert(Vec{5, 6}, 1).ok());
  ASSERT_EQ(store.size(), 2u);
  EXPECT_EQ(stored_vector(store, 1), (Vec{5, 6}));
  EXPECT_EQ(store.id(1), 1u);

  Vectorstore empty_dim = make_store(0, {});
  EXPECT_TRUE(empty_dim.insert(Vec{}, 5).ok());
  EXPECT_FALSE(empty_dim.insert(Vec{1}, 6).ok());
  EXPECT_EQ(empty_dim.size(), 1u);
}

// A store grown one record at a time keeps its blocks in chunks that double; one built at
// once has a single chunk. Both hold what they were given, in order, and search alike,
// runs of blocks crossing chunk boundaries included.
TEST(Vectorstore, GrownAndBuiltStoresAgreeAcrossBlocksAndChunks) {
  for (const std::size_t count : {std::size_t{1}, kBlockLanes, kBlockLanes + 1, 5 * kBlockLanes + 3, std::size_t{700}}) {
    SCOPED_TRACE(count);
    Vectorstore grown = make_store(3, {});
    std::vector<StoredVector> given;
    for (std::size_t i = 0; i < count; ++i) {
      const float x = static_cast<float>(i % 17);
      given.push_back({{x, 1.0f - x, 0.5f * static_cast<float>(i % 5)}, 1000 + i});
      ASSERT_TRUE(grown.insert(given.back().vector, given.back().id).ok());
    }
    const Vectorstore built = make_store(3, given);
    ASSERT_EQ(built.complete_blocks(), count / kBlockLanes);
    EXPECT_EQ(built.contiguous_blocks_from(0), count / kBlockLanes);
    for (const Vectorstore* store : {&std::as_const(grown), &built}) {
      ASSERT_EQ(store->size(), count);
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(stored_vector(*store, i), given[i].vector) << i;
        ASSERT_EQ(store->id(i), given[i].id) << i;
      }
    }
    for (const Size top_k : {Size{1}, Size{10}, static_cast<Size>(count + 1)}) {
      const auto from_grown = search(grown, Vec{1, -1, 0.5f}, top_k);
      const auto from_built = search(built, Vec{1, -1, 0.5f}, top_k);
      ASSERT_TRUE(from_grown.ok() && from_built.ok());
      ASSERT_EQ(from_grown.value().size(), std::min<std::size_t>(top_k, count));
      for (std::size_t i = 0; i < from_built.value().size(); ++i) {
        EXPECT_EQ(from_grown.value()[i].id, from_built.value()[i].id) << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(from_grown.value()[i].score),
                  std::bit_cast<std::uint32_t>(from_built.value()[i].score))
            << i;
      }
    }
  }
}

// Records inserted one by one leave their blocks in chunks of 1, 1, 2 and 4 blocks, the
// last with room for two more after six; a run that needs more blocks than that room
// fills it before the chunk that is added after it.
TEST(Vectorstore, RunsFillTheLastChunksRoomBeforeANewChunk) {
  constexpr std::size_t kOneByOne = 6 * kBlockLanes + 36;
  for (const std::size_t run : {std::size_t{100}, std::size_t{200}, 10 * kBlockLanes}) {
    SCOPED_TRACE(run);
    std::vector<StoredVector> given;
    for (std::size_t i = 0; i < kOneByOne + run; ++i) {
      const float x = static_cast<float>(i % 23);
      given.push_back({{x, 2.0f - x, 0.25f * static_cast<float>(i % 7)}, 5000 + i});
    }
    Vectorstore store = make_store(3, {});
    for (std::size_t i = 0; i < kOneByOne; ++i) ASSERT_TRUE(store.insert(given[i].vector, given[i].id).ok());
    Ids ids;
    for (std::size_t i = kOneByOne; i < given.size(); ++i) ids.push_back(given[i].id);
    store.insert_runs(ids, [&](std::size_t first, std::size_t count, float* room) {
      for (std::size_t i = 0; i < count; ++i) room = std::copy_n(given[kOneByOne + first + i].vector.data(), 3, room);
    });
    ASSERT_EQ(store.size(), given.size());
    for (std::size_t i = 0; i < given.size(); ++i) {
      ASSERT_EQ(stored_vector(store, i), given[i].vector) << i;
      ASSERT_EQ(store.id(i), given[i].id) << i;
    }
    const auto from_runs = search(store, Vec{1, -1, 0.5f}, 50);
    const auto from_built = search(make_store(3, given), Vec{1, -1, 0.5f}, 50);
    ASSERT_TRUE(from_runs.ok() && from_built.ok());
    EXPECT_EQ(ids_of(from_runs.value()), ids_of(from_built.value()));
  }
}

TEST(Search, RejectsWrongQueryLengthEvenForEmptyStoreOrTopKZero) {
  Vectorstore store = make_store(2, {});
  for (Size top_k : {Size{0}, Size{5}}) {
    CoreResult<std::vector<Hit>> r = search(store, Vec{1}, top_k);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "query has length 1 but vectorstore expects 2");
  }
  CoreResult<std::vector<Hit>> none = search(store, Vec{1, 2}, 5);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
}

TEST(Search, OrdersByKernelScoreWithTiesAndNaNInInsertionOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Vectorstore store =
      make_store(2, {{{1, 1}, 7}, {{0, 0}, 20}, {{nan, 1}, 30}, {{1, 0}, 40}, {{1, 1}, 3}});
  struct Case {
    const char* name;
    Vec query;
    Size top_k;
    Ids expected;
  };
  const Case cases[] = {
      {"identical vectors tie in insertion order", {1, 0.5f}, 10, {7, 3, 40, 20, 30}},
      {"cut among ties", {1, 0.5f}, 2, {7, 3}},
      {"top_k 0", {1, 0.5f}, 0, {}},
      // Every score is +0.0, so insertion order decides.
      {"zero query", {0, 0}, 3, {7, 20, 30}},
      // The zero record scores +0.0 against anything; every other score is NaN and goes last.
      {"NaN query", {nan, 0}, 10, {20, 7, 30, 40, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreResult<std::vector<Hit>> r = search(store, c.query, c.top_k);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ids_of(r.value()), c.expected);
    for (const Hit& hit : r.value()) {
      // ids are unique in this store, so each hit names one record.
      for (std::size_t record = 0; record < store.size(); ++record) {
        if (store.id(record) != hit.id) continue;
        const float want = cosine_similarity(c.query, stored_vector(store, record));
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(hit.score)) << hit.id;
        } else {
          EXPECT_EQ(std::bit_cast<std::uint32_t>(hit.score), std::bit_cast<std::uint32_t>(want)) << hit.id;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnix::core

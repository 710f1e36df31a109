// The parallel search: chunking, how many workers it starts, failures while starting
// them, and agreement with the single-threaded search.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.hpp"
#include "core/parallel_search.hpp"
#include "core/search.hpp"
#include "store_helpers.hpp"

namespace tarnix::core {
namespace {

// System doubles are plain function pointers, so they report through globals.
std::atomic<int> threads_started{0};
std::atomic<int> processor_queries{0};
std::atomic<int> refuse_on_start{0};   // 1-based; 0 never refuses
std::atomic<int> delayed_finished{0};

int counting_starter(pthread_t* thread, void* (*entry)(void*), void* argument) {
  threads_started.fetch_add(1);
  return threads::start_posix_thread(thread, entry, argument);
}

// Each started worker sleeps first and records that it got past the sleep before its own
// step runs, so the mark is visible to whoever the scope's wait lets go.
struct Delayed {
  void* (*entry)(void*);
  void* argument;
};
void* delayed_entry(void* raw) {
  const Delayed delayed = *static_cast<Delayed*>(raw);
  delete static_cast<Delayed*>(raw);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  delayed_finished.fetch_add(1);
  return delayed.entry(delayed.argument);
}
int slow_starter_refusing_one(pthread_t* thread, void* (*entry)(void*), void* argument) {
  if (threads_started.fetch_add(1) + 1 == refuse_on_start.load()) return EAGAIN;
  auto* delayed = new Delayed{entry, argument};
  const int code = threads::start_posix_thread(thread, delayed_entry, delayed);
  if (code != 0) delete delayed;
  return code;
}

base::Expected<std::size_t, std::string> three_processors() {
  processor_queries.fetch_add(1);
  return std::size_t{3};
}
base::Expected<std::size_t, std::string> unknown_processors() {
  processor_queries.fetch_add(1);
  return base::fail(std::string("the number of hardware threads is not known for the target platform"));
}

void reset_counters() {
  threads_started = 0;
  processor_queries = 0;
  refuse_on_start = 0;
  delayed_finished = 0;
}

Vectorstore store_of(std::size_t count) {
  std::vector<StoredVector> records;
  for (std::size_t i = 0; i < count; ++i) records.push_back({{1.0f, static_cast<float>(i)}, i});
  return create_store(2, std::move(records)).take_value();
}

const std::vector<float> kQuery{1.0f, 0.5f};

TEST(ChunkSize, Table) {
  const struct {
    std::size_t count, threads, expected;
  } cases[] = {
      {10, 4, 3}, {10, 6, 2}, {10, 0, 10}, {10, 1, 10}, {10, 10, 1}, {10, 11, 1},
      {10, std::numeric_limits<std::size_t>::max(), 1}, {0, 4, 0}, {0, 0, 0}, {1, 1, 1}, {9, 3, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chunk_size(c.count, c.threads), c.expected) << c.count << " records, " << c.threads << " threads";
  }
}

TEST(ParallelSearch, WorkerCountFollowsThreadSource) {
  const struct {
    const char* name;
    std::size_t records;
    std::optional<Size> n_threads;
    base::Expected<std::size_t, std::string> (*processors)();
    int workers, queries;
  } cases[] = {
      {"processor count fails: four threads", 10, std::nullopt, unknown_processors, 4, 1},
      {"processor count of three", 9, std::nullopt, three_processors, 3, 1},
      {"given count not capped by records", 3, Size{100}, three_processors, 3, 0},
      {"six threads over ten records", 10, Size{6}, three_processors, 5, 0},
      {"zero threads is one", 10, Size{0}, three_processors, 1, 0},
      {"empty store, omitted count", 0, std::nullopt, three_processors, 0, 0},
      {"empty store, given count", 0, Size{8}, three_processors, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_counters();
    const Vectorstore store = store_of(c.records);
    auto hits = parallel_search(store, kQuery, 5, c.n_threads, ParallelSystem{c.processors, counting_starter});
    ASSERT_TRUE(hits.ok());
    EXPECT_EQ(hits.value().size(), std::min<std::size_t>(5, c.records));
    EXPECT_EQ(threads_started.load(), c.workers);
    EXPECT_EQ(processor_queries.load(), c.queries);
  }
}

TEST(ParallelSearch, RefusedThirdWorkerPanicsAfterTheStartedOnesFinish) {
  reset_counters();
  refuse_on_start = 3;
  const Vectorstore store = store_of(10);
  try {
    (void)parallel_search(store, kQuery, 3, Size{10}, ParallelSystem{three_processors, slow_starter_refusing_one});
    FAIL() << "a refused worker must stop the search";
  } catch (const base::Panic& panic) {
    EXPECT_EQ(panic.message.rfind("failed to spawn thread", 0), 0u) << panic.message;
    EXPECT_EQ(threads_started.load(), 3) << "no worker may be started after the refusal";
    EXPECT_EQ(delayed_finished.load(), 2) << "the panic left before the started workers ended";
  }
}

std::vector<StoredVector> random_records(std::mt19937& rng, std::size_t count, std::size_t dim) {
  // Few distinct components, so that many records tie; an occasional NaN scores NaN.
  std::uniform_int_distribution<int> component(-2, 2);
  std::uniform_int_distribution<int> roll(0, 9);
  std::vector<StoredVector> records;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> v(dim);
    for (float& x : v) x = static_cast<float>(component(rng));
    if (roll(rng) == 0) v[0] = std::numeric_limits<float>::quiet_NaN();
    records.push_back({std::move(v), i % 7});  // repeated ids, so order is checked by score and position
  }
  return records;
}

bool same_hits(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool both_nan = std::isnan(a[i].score) && std::isnan(b[i].score);
    if (a[i].id != b[i].id || (!both_nan && a[i].score != b[i].score)) return false;
  }
  return true;
}

TEST(ParallelSearch, AgreesWithSearchOnRandomStoresWithTiesAndNaN) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 40; ++round) {
    // Up to a few blocks, so that chunks start and end inside blocks.
    const std::size_t count = 1 + rng() % 300;
    const Size dim = 1 + rng() % 4;
    const Vectorstore store = create_store(dim, random_records(rng, count, dim)).take_value();
    std::vector<float> query(dim);
    for (float& x : query) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
    for (const Size top_k : {Size{0}, Size{1}, Size{3}, Size{static_cast<Size>(count)}, Size{1000}}) {
      const auto expected = search(store, query, top_k);
      ASSERT_TRUE(expected.ok());
      for (const std::optional<Size> n_threads :
           {std::optional<Size>{}, std::optional<Size>{0}, std::optional<Size>{1}, std::optional<Size>{2},
            std::optional<Size>{3}, std::optional<Size>{7}, std::optional<Size>{static_cast<Size>(count + 5)}}) {
        const auto got = parallel_search(store, query, top_k, n_threads);
        ASSERT_TRUE(got.ok());
        EXPECT_TRUE(same_hits(got.value(), expected.value()))
            << "round " << round << ", " << count << " records, top_k " << top_k << ", n_threads "
            << (n_threads ? std::to_string(*n_threads) : "omitted");
      }
    }
  }
}

}  // namespace
}  // namespace tarnix::core

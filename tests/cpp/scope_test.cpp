// Scoped workers: panics become join failures or the scope's own panic, refused spawns
// are undone, and the scope never ends while a worker still runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.hpp"
#include "threads/scope.hpp"

namespace tarnix::threads {

struct ScopeProbe {
  static std::size_t running(const Scope& scope) { return scope.record_->running.load(); }
};

namespace {

using namespace std::chrono_literals;

int refuse_with_eagain(pthread_t*, void* (*)(void*), void*) { return EAGAIN; }

// Lets the first thread start and refuses every later one.
std::atomic<int> starts_allowed{0};
int start_then_refuse(pthread_t* thread, void* (*entry)(void*), void* argument) {
  if (starts_allowed.fetch_sub(1) <= 0) return EAGAIN;
  return start_posix_thread(thread, entry, argument);
}

TEST(Scope, WorkerPanicComesBackFromJoinAndThenPanicsTheScope) {
  std::string joined_message;
  try {
    run_scope([&](Scope& scope) {
      auto handle = scope.spawn<int>([]() -> int { base::panic("worker broke"); });
      EXPECT_TRUE(handle.ok());
      auto joined = handle.value().join();
      EXPECT_FALSE(joined.ok());
      if (!joined.ok()) joined_message = joined.error().message;
      return 0;
    });
    FAIL() << "a worker panic must not be swallowed by the scope";
  } catch (const base::Panic& panic) {
    EXPECT_EQ(panic.message, "a scoped thread panicked");
  }
  EXPECT_EQ(joined_message, "worker broke");
}

TEST(Scope, CallerPanicWinsAndLeavesOnlyAfterWorkersFinished) {
  // Whether or not the worker panics too, the caller's own message is the one that surfaces.
  for (const bool worker_panics : {false, true}) {
    SCOPED_TRACE(worker_panics ? "worker panics too" : "worker succeeds");
    std::atomic<bool> finished{false};
    try {
      run_scope([&](Scope& scope) -> int {
        auto handle = scope.spawn<int>([&finished, worker_panics] {
          std::this_thread::sleep_for(50ms);
          finished.store(true);
          if (worker_panics) base::panic("worker broke");
          return 1;
        });
        EXPECT_TRUE(handle.ok());
        base::panic("caller gave up");
      });
      FAIL() << "the caller's panic was lost";
    } catch (const base::Panic& panic) {
      EXPECT_EQ(panic.message, "caller gave up");
      EXPECT_TRUE(finished.load()) << "the panic left the scope while its worker still ran";
    }
  }
}

TEST(Scope, RefusedSpawnReportsTheSystemErrorAndUndoesTheCount) {
  Scope scope(refuse_with_eagain);
  auto handle = scope.spawn<int>([] { return 1; });
  ASSERT_FALSE(handle.ok());
  EXPECT_EQ(handle.error(), std::string("failed to spawn thread: ") + std::strerror(EAGAIN) + " (os error 11)");
  EXPECT_EQ(ScopeProbe::running(scope), 0u);
  scope.wait_for_workers();  // must not hang on the abandoned worker
}

TEST(Scope, RefusalAfterASuccessfulSpawnKeepsOnlyTheLiveWorkerCounted) {
  starts_allowed = 1;
  Scope scope(start_then_refuse);
  std::atomic<bool> release{false};
  auto first = scope.spawn<int>([&release] {
    while (!release.load()) std::this_thread::sleep_for(1ms);
    return 7;
  });
  ASSERT_TRUE(first.ok());
  auto second = scope.spawn<int>([] { return 8; });
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(ScopeProbe::running(scope), 1u);
  release = true;
  auto joined = first.value().join();
  ASSERT_TRUE(joined.ok());
  EXPECT_EQ(joined.value(), 7);
  scope.wait_for_workers();
  EXPECT_EQ(ScopeProbe::running(scope), 0u);
  EXPECT_FALSE(scope.worker_panicked());
}

TEST(Scope, ManyWorkersAllCountedOutEvenWhenHandlesAreDropped) {
  constexpr int kWorkers = 64;
  std::atomic<int> done{0};
  Scope scope;
  for (int i = 0; i < kWorkers; ++i) {
    // The handle is dropped at once: the scope alone must wait for the worker.
    auto handle = scope.spawn<int>([&done, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
      done.fetch_add(1);
      return i;
    });
    ASSERT_TRUE(handle.ok());
  }
  scope.wait_for_workers();
  EXPECT_EQ(done.load(), kWorkers);
  EXPECT_EQ(ScopeProbe::running(scope), 0u);
  EXPECT_FALSE(scope.worker_panicked());
}

TEST(Scope, ResultsComeBackInJoinOrderNotFinishingOrder) {
  const std::vector<int> results = run_scope([](Scope& scope) {
    std::vector<JoinHandle<int>> handles;
    for (int i = 0; i < 8; ++i) {
      // Later workers finish first.
      auto handle = scope.spawn<int>([i] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * (8 - i)));
        return i * i;
      });
      EXPECT_TRUE(handle.ok());
      handles.push_back(handle.take_value());
    }
    std::vector<int> out;
    for (auto& handle : handles) {
      auto joined = handle.join();
      EXPECT_TRUE(joined.ok());
      out.push_back(joined.ok() ? joined.value() : -1);
    }
    return out;
  });
  EXPECT_EQ(results, (std::vector<int>{0, 1, 4, 9, 16, 25, 36, 49}));
}

}  // namespace
}  // namespace tarnix::threads

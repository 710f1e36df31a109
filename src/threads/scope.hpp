// Scoped worker threads on POSIX threads: every worker started in a scope has finished
// before the scope returns, so workers may borrow the caller's data.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/expected.hpp"
#include "base/panic.hpp"

namespace tarnix::threads {

// AddressSanitizer's frames carry red zones, and its reports run on the faulting thread.
constexpr bool built_with_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// The stack each worker is given. A search holds a few kilobytes (7 KiB measured); a
// panic goes deepest (15 KiB measured), as its report, with a backtrace when asked for,
// is written and its exception unwinds on the worker's stack. 128 KiB leaves eight times
// that, where the system's default (8 MiB with glibc) would fit only a few hundred
// workers in a 32-bit address space.
inline constexpr std::size_t kWorkerStackBytes = (built_with_address_sanitizer() ? 4 : 1) * (std::size_t{128} << 10);

// How a thread is created; tests substitute their own.
using ThreadStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* argument);
// A worker thread with a stack of kWorkerStackBytes, no name, otherwise the defaults.
int start_posix_thread(pthread_t* thread, void* (*entry)(void*), void* argument);

// Shared by the calling thread and its workers; freed when the last of them lets go.
struct ScopeRecord {
  std::atomic<std::size_t> running{0};
  std::atomic<bool> worker_panicked{false};
  std::mutex mutex;
  std::condition_variable all_done;
};

// The panic payload of a worker, as text.
struct WorkerPanic {
  std::string message;
};

// Written once by its worker, read once by whoever joins it after the thread has ended.
template <class T>
struct ResultSlot {
  std::optional<base::Expected<T, WorkerPanic>> result;
};

template <class T>
class JoinHandle {
 public:
  JoinHandle(pthread_t thread, std::shared_ptr<ResultSlot<T>> slot) : thread_(thread), slot_(std::move(slot)) {}
  JoinHandle(JoinHandle&& other) noexcept
      : thread_(other.thread_), slot_(std::move(other.slot_)), joined_(std::exchange(other.joined_, true)) {}
  JoinHandle& operator=(JoinHandle&&) = delete;
  // A handle dropped unjoined lets its thread go; the scope still waits for the worker.
  ~JoinHandle() {
    if (!joined_) pthread_detach(thread_);
  }

  // Waits for the thread to end: its result, or the panic it ended in.
  base::Expected<T, WorkerPanic> join() {
    pthread_join(thread_, nullptr);
    joined_ = true;
    base::check(slot_->result.has_value(), "a worker ended without a result");
    return std::move(*slot_->result);
  }

 private:
  pthread_t thread_;
  std::shared_ptr<ResultSlot<T>> slot_;
  bool joined_ = false;
};

class Scope {
 public:
  explicit Scope(ThreadStarter starter = start_posix_thread)
      : record_(std::make_shared<ScopeRecord>()), starter_(starter) {}

  // Starts `step` (callable, returning T) on a new thread with default settings.
  // Fails with "failed to spawn thread: ..." when the system refuses.
  template <class T, class Step>
  base::Expected<JoinHandle<T>, std::string> spawn(Step step);

  // Sleeps until every worker started in this scope has finished.
  void wait_for_workers();
  bool worker_panicked() const { return record_->worker_panicked.load(); }

 private:
  friend struct ScopeProbe;  // the tests' window on the running count

  void enter_worker();
  void abandon_worker();

  std::shared_ptr<ScopeRecord> record_;
  ThreadStarter starter_;
};

namespace detail {

void worker_finished(ScopeRecord& record, bool panicked);
std::string spawn_error(int code);
std::string describe_current_panic();

template <class T, class Step>
struct WorkerLaunch {
  Step step;
  std::shared_ptr<ScopeRecord> record;
  std::shared_ptr<ResultSlot<T>> slot;

  static void* entry(void* argument) {
    std::unique_ptr<WorkerLaunch> launch(static_cast<WorkerLaunch*>(argument));
    bool panicked = false;
    try {
      launch->slot->result.emplace(launch->step());
    } catch (...) {
      // A panic never crosses threads as a live exception: it becomes the slot's payload.
      launch->slot->result.emplace(base::fail(WorkerPanic{describe_current_panic()}));
      panicked = true;
    }
    launch->slot.reset();
    std::shared_ptr<ScopeRecord> record = std::move(launch->record);
    launch.reset();
    worker_finished(*record, panicked);
    return nullptr;
  }
};

}  // namespace detail

template <class T, class Step>
base::Expected<JoinHandle<T>, std::string> Scope::spawn(Step step) {
  // Count the worker in before it exists, so the scope cannot end without it.
  enter_worker();
  auto slot = std::make_shared<ResultSlot<T>>();
  auto launch = std::make_unique<detail::WorkerLaunch<T, Step>>(
      detail::WorkerLaunch<T, Step>{std::move(step), record_, slot});
  pthread_t thread;
  const int code = starter_(&thread, &detail::WorkerLaunch<T, Step>::entry, launch.get());
  if (code != 0) {
    launch.reset();
    abandon_worker();
    return base::fail(detail::spawn_error(code));
  }
  launch.release();  // the worker owns it now
  return JoinHandle<T>(thread, std::move(slot));
}

// Runs `caller_step(scope)` and waits for every worker it started. Then the caller's
// panic carries on, or a worker's panic becomes "a scoped thread panicked".
template <class Step>
auto run_scope(Step caller_step, ThreadStarter starter = start_posix_thread) {
  Scope scope(starter);
  try {
    auto result = caller_step(scope);
    scope.wait_for_workers();
    if (scope.worker_panicked()) base::panic("a scoped thread panicked");
    return result;
  } catch (...) {
    scope.wait_for_workers();
    throw;
  }
}

}  // namespace tarnix::threads

// Scoped worker threads: the running count and the system's refusals.
#include "threads/scope.hpp"

#include <algorithm>  // std::max
#include <climits>    // PTHREAD_STACK_MIN
#include <cstring>    // strerror_r
#include <limits>
#include <new>        // std::bad_alloc

namespace tarnix::threads {

int start_posix_thread(pthread_t* thread, void* (*entry)(void*), void* argument) {
  pthread_attr_t attributes;
  if (const int code = pthread_attr_init(&attributes); code != 0) return code;
  // Some systems refuse stacks below a minimum of their own, which may exceed ours.
  const std::size_t least = PTHREAD_STACK_MIN;
  int code = pthread_attr_setstacksize(&attributes, std::max(kWorkerStackBytes, least));
  if (code == 0) code = pthread_create(thread, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  return code;
}

void Scope::enter_worker() {
  const std::size_t before = record_->running.fetch_add(1);
  if (before > std::numeric_limits<std::size_t>::max() / 2) {
    abandon_worker();
    base::panic("too many running threads in thread scope");
  }
}

void Scope::abandon_worker() { record_->running.fetch_sub(1); }

void Scope::wait_for_workers() {
  std::unique_lock lock(record_->mutex);
  record_->all_done.wait(lock, [&] { return record_->running.load() == 0; });
}

namespace detail {

void worker_finished(ScopeRecord& record, bool panicked) {
  if (panicked) record.worker_panicked.store(true);
  // Under the mutex, so the waiting thread cannot miss the wake-up between its test and its sleep.
  std::lock_guard lock(record.mutex);
  if (record.running.fetch_sub(1) == 1) record.all_done.notify_all();
}

namespace {

// strerror_r comes in two forms: GNU's returns the text, which may or may not be in the
// buffer; the XSI one (musl's) returns a status and always writes the buffer.
[[maybe_unused]] const char* error_text(const char* returned, const char* /*buffer*/) { return returned; }
[[maybe_unused]] const char* error_text(int returned, const char* buffer) { return returned == 0 ? buffer : "Unknown error"; }

}  // namespace

std::string spawn_error(int code) {
  char buffer[128] = "";
  const char* text = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return "failed to spawn thread: " + std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string describe_current_panic() {
  try {
    throw;
  } catch (const base::Panic& panic) {
    return panic.message;
  } catch (const std::bad_alloc&) {
    return "memory allocation failed";
  } catch (...) {
    return "a panic with a payload that is not text";
  }
}

}  // namespace detail
}  // namespace tarnix::threads

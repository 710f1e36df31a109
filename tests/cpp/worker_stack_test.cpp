// How much of its stack a worker uses: each worker runs on a stack of its own, filled with
// a pattern, and what the pattern no longer covers afterwards is the deepest it reached.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "base/panic.hpp"
#include "core/parallel_search.hpp"
#include "threads/scope.hpp"

namespace tarnix::threads {
namespace {

constexpr unsigned char kPattern = 0xA5;
// Room enough to measure a worker that outgrows its stack several times over.
constexpr std::size_t kProbeBytes = 8 * kWorkerStackBytes;

// One probe stack per started worker, below it a page that faults on overflow.
struct ProbeStack {
  unsigned char* mapping = nullptr;
  std::size_t page = 0;
  unsigned char* base() const { return mapping + page; }
  // The bytes from the top down to the deepest one a worker wrote.
  std::size_t high_water() const {
    const unsigned char* end = base() + kProbeBytes;
    const unsigned char* deepest = std::find_if(static_cast<const unsigned char*>(base()), end, [](unsigned char b) { return b != kPattern; });
    return static_cast<std::size_t>(end - deepest);
  }
};
std::vector<ProbeStack> probes;  // touched by the calling thread only

int start_on_probe_stack(pthread_t* thread, void* (*entry)(void*), void* argument) {
  ProbeStack probe;
  probe.page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapping = mmap(nullptr, probe.page + kProbeBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return EAGAIN;
  probe.mapping = static_cast<unsigned char*>(mapping);
  mprotect(probe.mapping, probe.page, PROT_NONE);
  std::memset(probe.base(), kPattern, kProbeBytes);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, probe.base(), kProbeBytes);
  const int code = pthread_create(thread, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  if (code != 0) {
    munmap(probe.mapping, probe.page + kProbeBytes);
    return code;
  }
  probes.push_back(probe);
  return 0;
}

// The deepest any probe stack was used; only once every worker has been joined.
std::size_t take_high_water() {
  std::size_t deepest = 0;
  for (const ProbeStack& probe : probes) {
    deepest = std::max(deepest, probe.high_water());
    munmap(probe.mapping, probe.page + kProbeBytes);
  }
  probes.clear();
  return deepest;
}

core::Vectorstore store_of(std::size_t count, core::Size dim) {
  core::Vectorstore store(dim);
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>((i * 7 + j * 3) % 11) - 5.0f;
    (void)store.insert(v, i);
  }
  return store;
}

// A worker's step, a whole parallel search on one worker (blocks and tail), for a short
// and a complete ranking.
std::size_t search_high_water() {
  const core::Vectorstore store = store_of(5 * core::kBlockLanes + 7, 33);
  const std::vector<float> query(33, 0.25f);
  for (const core::Size top_k : {core::Size{10}, static_cast<core::Size>(store.size())}) {
    const auto hits = core::parallel_search(store, query, top_k, core::Size{1},
                                            core::ParallelSystem{{}, start_on_probe_stack});
    EXPECT_TRUE(hits.ok());
  }
  return take_high_water();
}

// A worker that panics: its report is written, and the panic unwinds, on its own stack.
std::size_t panic_high_water(bool with_backtrace) {
  const char* before = std::getenv("TARNIX_BACKTRACE");
  const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
  setenv("TARNIX_BACKTRACE", with_backtrace ? "1" : "0", 1);
  Scope scope(start_on_probe_stack);
  auto handle = scope.spawn<int>([]() -> int { base::panic("a worker that gives up"); });
  EXPECT_TRUE(handle.ok());
  if (handle.ok()) {
    EXPECT_FALSE(handle.value().join().ok());
  }
  scope.wait_for_workers();
  if (saved) {
    setenv("TARNIX_BACKTRACE", saved->c_str(), 1);
  } else {
    unsetenv("TARNIX_BACKTRACE");
  }
  return take_high_water();
}

TEST(WorkerStack, SearchAndPanicsUseAQuarterOfTheWorkerStackAtMost) {
  const struct {
    const char* name;
    std::size_t bytes;
  } uses[] = {
      {"search", search_high_water()},
      {"panic", panic_high_water(false)},
      {"panic with backtrace", panic_high_water(true)},
  };
  for (const auto& use : uses) {
    std::printf("%s: %zu bytes of the worker stack's %zu\n", use.name, use.bytes, kWorkerStackBytes);
    EXPECT_LE(use.bytes, kWorkerStackBytes / 4) << use.name;
  }
}

}  // namespace
}  // namespace tarnix::threads

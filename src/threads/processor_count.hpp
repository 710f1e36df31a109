// How many processors this process may use: its affinity mask, limited by a control-group CPU quota.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "base/expected.hpp"

namespace tarnix::threads {

// Where the control-group files are; tests point these at a fake tree.
struct CgroupFiles {
  std::filesystem::path mount_root = "/sys/fs/cgroup";
  std::filesystem::path self_cgroup = "/proc/self/cgroup";
};

// The CPU quota of the process's control group in processors (quota ÷ period rounded up,
// at least 1), version 1 or 2, or nothing when no quota is set or none can be read.
std::optional<std::size_t> cgroup_cpu_limit(const CgroupFiles& files);

// A positive count, or "the number of hardware threads is not known for the target platform".
// Reads the affinity mask and the control-group files afresh.
base::Expected<std::size_t, std::string> processor_count(const CgroupFiles& files = {});

// The control-group limit, read again only once `interval` has passed since it was last
// read: reading the files costs hundreds of microseconds, more than a small batch of
// queries. Safe to share between threads.
class CgroupLimitCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit CgroupLimitCache(CgroupFiles files = {}, Clock::duration interval = std::chrono::seconds(1))
      : files_(std::move(files)), interval_(interval) {}
  std::optional<std::size_t> limit(Clock::time_point now);

 private:
  const CgroupFiles files_;
  const Clock::duration interval_;
  std::mutex mutex_;
  std::optional<Clock::time_point> read_at_;
  std::optional<std::size_t> limit_;
};

// processor_count with the limit from `cache`: the affinity mask, one system call, is
// still read on every call, so a changed mask is seen at once.
base::Expected<std::size_t, std::string> processor_count(CgroupLimitCache& cache,
                                                         CgroupLimitCache::Clock::time_point now);

// processor_count with the process's own cache, for callers that ask on every call.
base::Expected<std::size_t, std::string> recent_processor_count();

}  // namespace tarnix::threads

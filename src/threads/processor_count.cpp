// The processor count: affinity mask, control-group quota, online processors.
#include "threads/processor_count.hpp"

#include <sched.h>   // sched_getaffinity, CPU_COUNT
#include <unistd.h>  // sysconf

#include <algorithm>
#include <cctype>    // std::isspace
#include <charconv>  // std::from_chars
#include <fstream>
#include <sstream>
#include <vector>

namespace tarnix::threads {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> read_first_line(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

// The integer that `text` starts with, after any blanks.
std::optional<long long> parse_integer(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin != end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
  if (begin != end && *begin == '+') ++begin;
  long long value = 0;
  if (std::from_chars(begin, end, value).ec != std::errc{}) return std::nullopt;
  return value;
}

std::optional<std::size_t> processors_for(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  // Rounded up without quota + period - 1, which could overflow.
  return static_cast<std::size_t>(std::max(1LL, quota / period + (quota % period != 0 ? 1 : 0)));
}

// Version 2: "max 100000" (no quota) or "QUOTA PERIOD" in cpu.max.
std::optional<std::size_t> read_cpu_max(const fs::path& group) {
  const auto line = read_first_line(group / "cpu.max");
  if (!line) return std::nullopt;
  std::istringstream fields(*line);
  std::string quota, period;
  if (!(fields >> quota >> period) || quota == "max") return std::nullopt;
  const auto q = parse_integer(quota), p = parse_integer(period);
  if (!q || !p) return std::nullopt;
  return processors_for(*q, *p);
}

// Version 1: cpu.cfs_quota_us (-1 for none) over cpu.cfs_period_us.
std::optional<std::size_t> read_cfs_quota(const fs::path& group) {
  const auto quota = read_first_line(group / "cpu.cfs_quota_us");
  const auto period = read_first_line(group / "cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  const auto q = parse_integer(*quota), p = parse_integer(*period);
  if (!q || !p) return std::nullopt;
  return processors_for(*q, *p);
}

// The smallest limit on the way from the group up to the root of its hierarchy.
template <class Reader>
std::optional<std::size_t> smallest_limit_upwards(const fs::path& hierarchy, const std::string& group_path,
                                                  Reader read) {
  std::optional<std::size_t> smallest;
  fs::path group = fs::path(group_path).relative_path();
  while (true) {
    if (auto limit = read(hierarchy / group)) smallest = smallest ? std::min(*smallest, *limit) : *limit;
    if (group.empty()) break;
    group = group.parent_path();
  }
  return smallest;
}

bool lists_cpu_controller(const std::string& controllers) {
  std::istringstream names(controllers);
  std::string name;
  while (std::getline(names, name, ',')) {
    if (name == "cpu") return true;
  }
  return false;
}

// The processors in the affinity mask, else the online ones; 0 when neither is known.
std::size_t unlimited_count() {
  std::size_t count = 0;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) count = static_cast<std::size_t>(CPU_COUNT(&mask));
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) count = static_cast<std::size_t>(online);
  }
  return count;
}

template <class Limit>
base::Expected<std::size_t, std::string> limited_count(const Limit& limit) {
  std::size_t count = unlimited_count();
  if (count == 0) return base::fail(std::string("the number of hardware threads is not known for the target platform"));
  if (auto found = limit()) count = std::min(count, *found);
  return count;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const CgroupFiles& files) {
  std::ifstream self(files.self_cgroup);
  std::string line;
  std::optional<std::size_t> limit;
  const auto take = [&](std::optional<std::size_t> found) {
    if (found) limit = limit ? std::min(*limit, *found) : *found;
  };
  // Each line is "ID:CONTROLLERS:PATH"; version 2 has ID 0 and no controllers.
  while (std::getline(self, line)) {
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? std::string::npos : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty() && line.compare(0, first, "0") == 0) {
      take(smallest_limit_upwards(files.mount_root, path, read_cpu_max));
    } else if (lists_cpu_controller(controllers)) {
      for (const char* mount : {"cpu", "cpu,cpuacct", "cpuacct,cpu"}) {
        take(smallest_limit_upwards(files.mount_root / mount, path, read_cfs_quota));
      }
      take(smallest_limit_upwards(files.mount_root / controllers, path, read_cfs_quota));
    }
  }
  return limit;
}

base::Expected<std::size_t, std::string> processor_count(const CgroupFiles& files) {
  return limited_count([&] { return cgroup_cpu_limit(files); });
}

std::optional<std::size_t> CgroupLimitCache::limit(Clock::time_point now) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!read_at_ || now - *read_at_ >= interval_ || now < *read_at_) {
    limit_ = cgroup_cpu_limit(files_);
    read_at_ = now;
  }
  return limit_;
}

base::Expected<std::size_t, std::string> processor_count(CgroupLimitCache& cache,
                                                         CgroupLimitCache::Clock::time_point now) {
  return limited_count([&] { return cache.limit(now); });
}

base::Expected<std::size_t, std::string> recent_processor_count() {
  static CgroupLimitCache cache;  // made once, thread-safely, and kept for the process
  return processor_count(cache, CgroupLimitCache::Clock::now());
}

}  // namespace tarnix::threads

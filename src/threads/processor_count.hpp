// How many processors this process may use: its affinity mask, limited by a control-group CPU quota.
#pragma once

#include <cstddef>
#include <filesystem>
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
base::Expected<std::size_t, std::string> processor_count(const CgroupFiles& files = {});

}  // namespace tarnix::threads

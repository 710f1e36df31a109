// The control-group quota read from fake trees, and how it limits the processor count.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "threads/processor_count.hpp"

namespace tarnix::threads {
namespace {

namespace fs = std::filesystem;

struct File {
  std::string relative_path;  // below the fake mount root
  std::string contents;
};

struct QuotaCase {
  const char* name;
  std::string self_cgroup;  // contents of the fake /proc/self/cgroup
  std::vector<File> files;
  std::optional<std::size_t> limit;
};

class FakeCgroupTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarnix-cgroup-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "mnt");
  }
  void TearDown() override { fs::remove_all(root_); }

  CgroupFiles build(const QuotaCase& c) {
    fs::remove_all(root_ / "mnt");
    fs::create_directories(root_ / "mnt");
    for (const File& file : c.files) {
      const fs::path path = root_ / "mnt" / file.relative_path;
      fs::create_directories(path.parent_path());
      std::ofstream(path) << file.contents;
    }
    std::ofstream(root_ / "self") << c.self_cgroup;
    return CgroupFiles{root_ / "mnt", root_ / "self"};
  }

  fs::path root_;
};

const std::string kV1 = "4:cpu,cpuacct:/grp\n";
const std::string kV2 = "0::/grp\n";

TEST_F(FakeCgroupTree, QuotaTable) {
  const std::vector<QuotaCase> cases = {
      {"v1 one and a half rounds up", kV1,
       {{"cpu,cpuacct/grp/cpu.cfs_quota_us", "150000\n"}, {"cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n"}}, 2},
      {"v1 quota -1 is unlimited", kV1,
       {{"cpu,cpuacct/grp/cpu.cfs_quota_us", "-1\n"}, {"cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n"}},
       std::nullopt},
      {"v1 period missing", kV1, {{"cpu,cpuacct/grp/cpu.cfs_quota_us", "150000\n"}}, std::nullopt},
      {"v1 garbage quota", kV1,
       {{"cpu,cpuacct/grp/cpu.cfs_quota_us", "lots\n"}, {"cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n"}},
       std::nullopt},
      {"v1 empty files", kV1,
       {{"cpu,cpuacct/grp/cpu.cfs_quota_us", ""}, {"cpu,cpuacct/grp/cpu.cfs_period_us", ""}}, std::nullopt},
      {"v1 zero period", kV1,
       {{"cpu,cpuacct/grp/cpu.cfs_quota_us", "150000\n"}, {"cpu,cpuacct/grp/cpu.cfs_period_us", "0\n"}},
       std::nullopt},
      {"v2 max is unlimited", kV2, {{"grp/cpu.max", "max 100000\n"}}, std::nullopt},
      {"v2 two and a half rounds up", kV2, {{"grp/cpu.max", "250000 100000\n"}}, 3},
      {"v2 exact multiple", kV2, {{"grp/cpu.max", "200000 100000\n"}}, 2},
      {"v2 below one processor is one", kV2, {{"grp/cpu.max", "50000 100000\n"}}, 1},
      // A quota near the top of the integer range is effectively unlimited, not one processor.
      // The largest quota the kernel accepts (2^44 - 1 microseconds).
      {"v2 kernel maximum quota", kV2, {{"grp/cpu.max", "17592186044415 100000\n"}}, 175921861u},
      {"v2 huge quota", kV2, {{"grp/cpu.max", "9223372036854775807 100000\n"}}, 92233720368548u},
      {"v2 cpu.max missing", kV2, {}, std::nullopt},
      {"v2 garbage", kV2, {{"grp/cpu.max", "banana\n"}}, std::nullopt},
      {"v2 only one field", kV2, {{"grp/cpu.max", "250000\n"}}, std::nullopt},
      {"v2 parent group is stricter", kV2,
       {{"grp/cpu.max", "400000 100000\n"}, {"cpu.max", "100000 100000\n"}}, 1},
      {"self cgroup garbage", "not a cgroup line\n", {{"grp/cpu.max", "100000 100000\n"}}, std::nullopt},
      {"v1 line without the cpu controller", "3:memory:/grp\n",
       {{"memory/grp/cpu.cfs_quota_us", "100000\n"}, {"memory/grp/cpu.cfs_period_us", "100000\n"}},
       std::nullopt},
  };
  for (const QuotaCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cgroup_cpu_limit(build(c)), c.limit);
  }
}

TEST_F(FakeCgroupTree, MissingOrUnreadableFilesMeanNoLimit) {
  CgroupFiles files = build({"", kV2, {{"grp/cpu.max", "100000 100000\n"}}, 1});
  ASSERT_EQ(cgroup_cpu_limit(files), std::optional<std::size_t>(1));
  EXPECT_EQ(cgroup_cpu_limit(CgroupFiles{root_ / "mnt", root_ / "no-such-file"}), std::nullopt);
  // A directory where the file should be cannot be read as one, even by root.
  EXPECT_EQ(cgroup_cpu_limit(CgroupFiles{root_ / "mnt", root_ / "mnt"}), std::nullopt);

  fs::permissions(root_ / "mnt/grp/cpu.max", fs::perms::none);
  if (std::ifstream(root_ / "mnt/grp/cpu.max")) GTEST_SKIP() << "running with permission to read anything";
  EXPECT_EQ(cgroup_cpu_limit(files), std::nullopt);
}

std::size_t affinity_count() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  EXPECT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  return static_cast<std::size_t>(CPU_COUNT(&mask));
}

TEST_F(FakeCgroupTree, ProcessorCountIsAffinityLimitedByQuota) {
  const std::size_t affinity = affinity_count();
  ASSERT_GE(affinity, 1u);
  const struct {
    const char* cpu_max;
    std::size_t expected;
  } cases[] = {
      {"max 100000\n", affinity},
      {"50000 100000\n", 1},
      {"250000 100000\n", std::min<std::size_t>(affinity, 3)},
      {"100000000 100000\n", std::min<std::size_t>(affinity, 1000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cpu_max);
    auto count = processor_count(build({"", kV2, {{"grp/cpu.max", c.cpu_max}}, std::nullopt}));
    ASSERT_TRUE(count.ok());
    EXPECT_EQ(count.value(), c.expected);
  }
}

TEST_F(FakeCgroupTree, CachedLimitIsReadAgainOnlyAfterItsInterval) {
  const CgroupFiles files = build({"", kV2, {{"grp/cpu.max", "100000 100000\n"}}, 1});
  CgroupLimitCache cache(files, std::chrono::seconds(1));
  const auto start = CgroupLimitCache::Clock::now();
  ASSERT_EQ(cache.limit(start), std::optional<std::size_t>(1));
  std::ofstream(root_ / "mnt/grp/cpu.max") << "300000 100000\n";
  EXPECT_EQ(cache.limit(start + std::chrono::milliseconds(999)), std::optional<std::size_t>(1));
  EXPECT_EQ(cache.limit(start + std::chrono::seconds(1)), std::optional<std::size_t>(3));
  std::ofstream(root_ / "mnt/grp/cpu.max") << "max 100000\n";
  EXPECT_EQ(cache.limit(start + std::chrono::milliseconds(1500)), std::optional<std::size_t>(3));
  EXPECT_EQ(cache.limit(start + std::chrono::seconds(3)), std::nullopt);
}

// The mask is read on every call, whatever the cache holds.
TEST_F(FakeCgroupTree, CachedCountSeesAChangedAffinityMaskAtOnce) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  if (CPU_COUNT(&original) < 2) GTEST_SKIP() << "one processor: the mask cannot shrink";
  CgroupLimitCache cache(build({"", kV2, {{"grp/cpu.max", "max 100000\n"}}, std::nullopt}), std::chrono::hours(1));
  const auto now = CgroupLimitCache::Clock::now();
  auto before = processor_count(cache, now);
  ASSERT_TRUE(before.ok());
  EXPECT_EQ(before.value(), static_cast<std::size_t>(CPU_COUNT(&original)));
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &original)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  auto after = processor_count(cache, now);
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after.value(), 1u);
}

}  // namespace
}  // namespace tarnix::threads

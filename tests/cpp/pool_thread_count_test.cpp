// Sizing of the worker pool: environment values, control-group quotas read
// from fabricated trees, and the final decision.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/thread_count.hpp"

namespace {

using termsweep::pool::available_parallelism;
using termsweep::pool::cgroup_cpu_quota;
using termsweep::pool::choose_thread_count;
using termsweep::pool::cpu_count;
using termsweep::pool::decide_thread_count;
using termsweep::pool::parse_thread_count;
namespace fs = std::filesystem;

TEST(PoolThreadCountParse, AcceptsOnlyPlainUnsignedDecimals) {
  struct Case {
    const char* value;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"3", 3},
      {"+3", 3},
      {"0", 0},
      {"007", 7},
      {"100000", 100000},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // one past 64 bits
      {"99999999999999999999", std::nullopt},
      {" 3", std::nullopt},
      {"3 ", std::nullopt},
      {"3\n", std::nullopt},
      {"abc", std::nullopt},
      {"3a", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++3", std::nullopt},
      {"-3", std::nullopt},
      {"-0", std::nullopt},
      {"3.0", std::nullopt},
      {"\xef\xbc\x93", std::nullopt},  // FULLWIDTH DIGIT THREE
      {"\xff", std::nullopt},          // not UTF-8
      {nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_thread_count(c.value), c.expected) << (c.value ? c.value : "<unset>");
  }
}

TEST(PoolThreadCountDecision, EnvironmentThenAvailableParallelism) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::optional<std::uint64_t> available;
    std::size_t expected;
    bool asks_system;
  };
  const Case cases[] = {
      {"3", nullptr, 8, 3, false},
      {"+3", "5", 8, 3, false},
      {" 3", "5", 8, 5, false},   // not a number: RAYON_RS_NUM_CPUS decides
      {"3 ", nullptr, 8, 8, true},
      {"abc", nullptr, 8, 8, true},
      {"", "", 8, 8, true},
      {"0", "5", 8, 8, true},     // 0 means the system, RAYON_RS_NUM_CPUS unused
      {"0", nullptr, std::nullopt, 1, true},
      {nullptr, "0", 6, 6, true},
      {nullptr, "4", 6, 4, false},
      {nullptr, "x", 6, 6, true},
      {nullptr, nullptr, 2, 2, true},
      {nullptr, nullptr, std::nullopt, 1, true},  // undetermined
      {"100000", nullptr, 8, 65535, false},
      {nullptr, "100000", 8, 65535, false},
      {"18446744073709551615", nullptr, 8, 65535, false},
      {"18446744073709551616", "2", 8, 2, false},  // overflow is not a number
      {nullptr, nullptr, 1u << 20, 65535, true},
  };
  for (const Case& c : cases) {
    bool asked = false;
    const std::size_t decided = choose_thread_count(c.num_threads, c.rs_num_cpus, [&] {
      asked = true;
      return c.available;
    });
    const std::string label = std::string("RAYON_NUM_THREADS=") +
                              (c.num_threads ? c.num_threads : "<unset>") +
                              " RAYON_RS_NUM_CPUS=" + (c.rs_num_cpus ? c.rs_num_cpus : "<unset>");
    EXPECT_EQ(decided, c.expected) << label;
    EXPECT_EQ(asked, c.asks_system) << label;
  }
}

TEST(PoolThreadCountDecision, ReadsTheEnvironmentAtCallTime) {
  const auto system = available_parallelism();
  ASSERT_TRUE(system.has_value());
  ::setenv("RAYON_NUM_THREADS", "7", 1);
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(decide_thread_count(), 7u);
  ::setenv("RAYON_NUM_THREADS", "0", 1);
  EXPECT_EQ(decide_thread_count(), *system);
  ::unsetenv("RAYON_NUM_THREADS");
  EXPECT_EQ(decide_thread_count(), 5u);
  ::unsetenv("RAYON_RS_NUM_CPUS");
  EXPECT_EQ(decide_thread_count(), *system);
}

TEST(PoolThreadCountSystem, CpuCountFollowsTheAffinityMask) {
  cpu_set_t original;
  ASSERT_EQ(::sched_getaffinity(0, sizeof original, &original), 0);
  const auto all = cpu_count();
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(*all, static_cast<std::uint64_t>(CPU_COUNT(&original)));

  // Pin this thread to one CPU: the count follows.
  int first = 0;
  while (!CPU_ISSET(first, &original)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(cpu_count(), 1u);
  ASSERT_EQ(::sched_setaffinity(0, sizeof original, &original), 0);
}

// A throw-away directory standing in for the filesystem root.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "termsweep-cgroup-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~FakeRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::string& path() const { return path_; }

  void write(const std::string& relative, const std::string& content) const {
    const fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }
  void make_directory(const std::string& relative) const {
    fs::create_directories(fs::path(path_) / relative);
  }

 private:
  std::string path_;
};

using Files = std::vector<std::pair<std::string, std::string>>;

struct QuotaCase {
  const char* name;
  Files files;
  std::vector<std::string> directories;  // present but not files
  std::optional<std::uint64_t> expected;
};

void expect_quotas(const std::vector<QuotaCase>& cases) {
  for (const QuotaCase& c : cases) {
    FakeRoot root;
    for (const auto& [relative, content] : c.files) root.write(relative, content);
    for (const auto& relative : c.directories) root.make_directory(relative);
    EXPECT_EQ(cgroup_cpu_quota(root.path()), c.expected) << c.name;
  }
}

constexpr const char* kV2Self = "proc/self/cgroup";

TEST(PoolCgroupQuota, VersionTwoCpuMax) {
  const std::string app = "sys/fs/cgroup/app/";
  expect_quotas({
      {"one and a half CPUs round down",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", "cpu io\n"},
        {app + "cpu.max", "150000 100000\n"}},
       {},
       1},
      {"a limit of max sets no quota",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}, {app + "cpu.max", "max 100000\n"}},
       {},
       std::nullopt},
      {"half a CPU counts as one",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}, {app + "cpu.max", "50000 100000\n"}},
       {},
       1},
      {"four CPUs",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}, {app + "cpu.max", "400000 100000"}},
       {},
       4},
      {"nested groups take the smallest quota up to the mount point",
       {{kV2Self, "0::/a/b/c\n"},
        {"sys/fs/cgroup/a/b/c/cgroup.controllers", ""},
        {"sys/fs/cgroup/a/b/c/cpu.max", "600000 100000\n"},
        {"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
        {"sys/fs/cgroup/a/cpu.max", "300000 100000\n"},
        {"sys/fs/cgroup/cpu.max", "900000 100000\n"}},
       {},
       3},
      {"the root group's own file counts",
       {{kV2Self, "0::/\n"}, {"sys/fs/cgroup/cgroup.controllers", ""},
        {"sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       {},
       2},
      {"nothing above the mount point is read",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}, {"sys/fs/cpu.max", "100000 100000\n"}},
       {},
       std::nullopt},
      {"no cgroup.controllers: not a version-2 hierarchy",
       {{kV2Self, "0::/app\n"}, {app + "cpu.max", "100000 100000\n"}},
       {},
       std::nullopt},
      {"unreadable cpu.max sets no quota",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}},
       {app + "cpu.max"},
       std::nullopt},
      {"unparsable cpu.max files are skipped, others still count",
       {{kV2Self, "0::/a/b\n"},
        {"sys/fs/cgroup/a/b/cgroup.controllers", ""},
        {"sys/fs/cgroup/a/b/cpu.max", "lots 100000\n"},
        {"sys/fs/cgroup/a/cpu.max", "200000 0\n"},
        {"sys/fs/cgroup/cpu.max", "500000 100000\n"}},
       {},
       5},
      {"limit without period",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""}, {app + "cpu.max", "200000\n"}},
       {},
       std::nullopt},
      {"only the first line is read",
       {{kV2Self, "0::/app\n"}, {app + "cgroup.controllers", ""},
        {app + "cpu.max", "max 100000\n100000 100000\n"}},
       {},
       std::nullopt},
      {"no /proc/self/cgroup", {{app + "cgroup.controllers", ""}, {app + "cpu.max", "100000 100000\n"}}, {}, std::nullopt},
  });
}

TEST(PoolCgroupQuota, VersionOneCfsQuota) {
  const std::string group = "sys/fs/cgroup/cpu,cpuacct/docker/x/";
  expect_quotas({
      {"quota over period",
       {{kV2Self, "4:cpu,cpuacct:/docker/x\n"},
        {group + "cpu.cfs_quota_us", "250000\n"},
        {group + "cpu.cfs_period_us", "100000\n"}},
       {},
       2},
      {"-1 means no quota",
       {{kV2Self, "4:cpu,cpuacct:/docker/x\n"},
        {group + "cpu.cfs_quota_us", "-1\n"},
        {group + "cpu.cfs_period_us", "100000\n"}},
       {},
       std::nullopt},
      {"ancestors up to the mount point, smallest wins",
       {{kV2Self, "4:cpu,cpuacct:/docker/x\n"},
        {group + "cpu.cfs_quota_us", "-1\n"},
        {group + "cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_quota_us", "150000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "800000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
       {},
       1},
      {"the cpu mount point is tried first",
       {{kV2Self, "3:cpu:/g\n"},
        {"sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "300000"},
        {"sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000"}},
       {},
       3},
      {"a quota without period is ignored",
       {{kV2Self, "3:cpu:/g\n"}, {"sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "300000\n"}},
       {},
       std::nullopt},
      {"version 1 with the cpu controller beats the version-2 line",
       {{kV2Self, "0::/\n3:cpu:/g\n"},
        {"sys/fs/cgroup/cgroup.controllers", ""},
        {"sys/fs/cgroup/cpu.max", "100000 100000\n"},
        {"sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "700000\n"},
        {"sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000\n"}},
       {},
       7},
      {"lines for other controllers are ignored",
       {{kV2Self, "5:memory:/m\n6:cpuset:/s\n"},
        {"sys/fs/cgroup/cpu/m/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu/m/cpu.cfs_period_us", "100000\n"}},
       {},
       std::nullopt},
      {"mount point found through mountinfo",
       {{kV2Self, "3:cpuacct,cpu:/docker/x\n"},
        {"proc/self/mountinfo",
         "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
         "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
         "32 31 0:29 / /custom/cpu rw,relatime shared:9 - cgroup cgroup rw,cpuacct,cpu\n"},
        {"custom/cpu/docker/x/cpu.cfs_quota_us", "400000\n"},
        {"custom/cpu/docker/x/cpu.cfs_period_us", "100000\n"},
        {"custom/cpu/docker/cpu.cfs_quota_us", "600000\n"},
        {"custom/cpu/docker/cpu.cfs_period_us", "100000\n"}},
       {},
       4},
      {"bind mount of a subtree: the group path is taken relative to it",
       {{kV2Self, "3:cpu:/docker/x\n"},
        {"proc/self/mountinfo",
         "40 31 0:40 /other /elsewhere rw - cgroup cgroup rw,cpu\n"
         "41 31 0:41 /docker /mnt/cg rw - cgroup cgroup rw,cpu\n"},
        {"elsewhere/docker/x/cpu.cfs_quota_us", "100000\n"},
        {"elsewhere/docker/x/cpu.cfs_period_us", "100000\n"},
        {"mnt/cg/x/cpu.cfs_quota_us", "200000\n"},
        {"mnt/cg/x/cpu.cfs_period_us", "100000\n"},
        {"mnt/cg/cpu.cfs_quota_us", "900000\n"},
        {"mnt/cg/cpu.cfs_period_us", "100000\n"}},
       {},
       2},
      {"mountinfo entries that are not cgroup or lack cpu are skipped",
       {{kV2Self, "3:cpu:/g\n"},
        {"proc/self/mountinfo",
         "40 31 0:40 / /a rw - tmpfs cgroup rw,cpu\n"
         "41 31 0:41 / /b rw - cgroup cgroup rw,cpuacct\n"},
        {"a/g/cpu.cfs_quota_us", "100000\n"},
        {"a/g/cpu.cfs_period_us", "100000\n"},
        {"b/g/cpu.cfs_quota_us", "100000\n"},
        {"b/g/cpu.cfs_period_us", "100000\n"}},
       {},
       std::nullopt},
      {"unreadable quota file sets no quota",
       {{kV2Self, "3:cpu:/g\n"}, {"sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000\n"}},
       {"sys/fs/cgroup/cpu/g/cpu.cfs_quota_us"},
       std::nullopt},
  });
}

TEST(PoolCgroupQuota, AvailableParallelismIsTheSmallerOfQuotaAndCpus) {
  const auto cpus = cpu_count();
  ASSERT_TRUE(cpus.has_value());
  {
    FakeRoot root;
    root.write(kV2Self, "0::/\n");
    root.write("sys/fs/cgroup/cgroup.controllers", "");
    root.write("sys/fs/cgroup/cpu.max", "150000 100000\n");
    EXPECT_EQ(available_parallelism(root.path()), 1u);
    root.write("sys/fs/cgroup/cpu.max", "100000000 100000\n");  // 1000 CPUs
    EXPECT_EQ(available_parallelism(root.path()), *cpus);
    root.write("sys/fs/cgroup/cpu.max", "max 100000\n");
    EXPECT_EQ(available_parallelism(root.path()), *cpus);
  }
  FakeRoot empty;
  EXPECT_EQ(available_parallelism(empty.path()), *cpus);
}

}  // namespace

// How many worker threads the process-wide pool gets.
//
// The environment decides first (RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS);
// otherwise the CPUs the process may use: the affinity mask, bounded by the
// CPU quota of its control group. The file-reading pieces take a filesystem
// root so that they can be pointed at a fabricated tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace termsweep::pool {

// Largest pool the process may build.
inline constexpr std::size_t kMaxThreadCount = 65535;

// Parses an environment value as an unsigned decimal: one optional leading
// '+', then ASCII digits only (no spaces), fitting in 64 bits. Null, empty or
// anything else gives no value.
std::optional<std::uint64_t> parse_thread_count(const char* value);

// The CPU quota of the process's control group in whole CPUs (rounded down,
// at least 1), found through <root>/proc/self/cgroup, <root>/proc/self/mountinfo
// and the control-group files under <root>/sys/fs/cgroup. No value when no
// quota applies or nothing can be read. `root` is "" for the real system.
std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& root = "");

// CPUs in the affinity mask (first 1024 CPUs), else the online processors;
// no value when neither is known.
std::optional<std::uint64_t> cpu_count();

// min(cpu quota, cpu count); no value when the CPU count is unknown.
std::optional<std::uint64_t> available_parallelism(const std::string& root = "");

// The sizing rule, from the two raw environment values (null when unset).
// `available` is asked only when the environment does not decide; an
// unknown parallelism gives 1 thread. The result is in [1, kMaxThreadCount].
std::size_t choose_thread_count(
    const char* rayon_num_threads, const char* rayon_rs_num_cpus,
    const std::function<std::optional<std::uint64_t>()>& available);

// The real decision: reads the environment and the system now.
std::size_t decide_thread_count();

}  // namespace termsweep::pool

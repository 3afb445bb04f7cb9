#include "pool/thread_count.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

namespace termsweep::pool {

namespace {

// Accepts what an unsigned decimal literal may look like: optional '+', then
// one or more ASCII digits, nothing else, no overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

// Only a path that certainly does not exist is skipped; any other stat
// failure (permissions, ...) still lets the walk try the files.
bool certainly_missing(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::string_view first_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const std::size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kSpace) - begin + 1);
}

// A group path relative to its hierarchy's mount point, as components.
using GroupPath = std::vector<std::string_view>;

GroupPath components(std::string_view path) {
  GroupPath parts;
  for (std::string_view part : split(path, '/')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string join_path(const std::string& base, const GroupPath& parts, std::size_t depth) {
  std::string path = base;
  for (std::size_t i = 0; i < depth; ++i) {
    path += '/';
    path += parts[i];
  }
  return path;
}

enum class CgroupVersion { kV1, kV2 };

struct ProcessGroup {
  CgroupVersion version;
  std::string path;  // without the leading '/'
};

// Picks the process's group from /proc/self/cgroup: a version-1 line that
// lists the cpu controller wins over the version-2 line (empty controller
// list), because it names the controller explicitly.
std::optional<ProcessGroup> find_process_group(const std::string& root) {
  const auto content = read_file(root + "/proc/self/cgroup");
  if (!content) return std::nullopt;
  std::optional<ProcessGroup> found;
  for (std::string_view line : split(*content, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    CgroupVersion version;
    if (controllers.empty()) {
      version = CgroupVersion::kV2;
    } else {
      const auto names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
      version = CgroupVersion::kV1;
    }
    if (found && version == CgroupVersion::kV2) continue;
    std::string_view path = line.substr(second + 1);
    if (!path.empty()) path.remove_prefix(1);
    found = ProcessGroup{version, std::string(path)};
  }
  return found;
}

// Walks from the group's directory up to the mount point inclusive and keeps
// the smallest quota that `quota_in(dir)` reports.
template <class QuotaInDirectory>
std::optional<std::uint64_t> smallest_quota(const std::string& mount, const GroupPath& group,
                                            QuotaInDirectory quota_in) {
  std::optional<std::uint64_t> smallest;
  for (std::size_t depth = group.size() + 1; depth-- > 0;) {
    if (const auto quota = quota_in(join_path(mount, group, depth))) {
      smallest = smallest ? std::min(*smallest, *quota) : *quota;
    }
  }
  return smallest;
}

std::optional<std::uint64_t> quota_v2(const std::string& root, const GroupPath& group) {
  const std::string mount = root + "/sys/fs/cgroup";
  // Not a version-2 hierarchy there (a hybrid layout mounts it elsewhere).
  if (certainly_missing(join_path(mount, group, group.size()) + "/cgroup.controllers")) {
    return std::nullopt;
  }
  return smallest_quota(mount, group, [](const std::string& dir) -> std::optional<std::uint64_t> {
    const auto content = read_file(dir + "/cpu.max");
    if (!content) return std::nullopt;
    const auto fields = split(first_line(*content), ' ');
    if (fields.size() < 2) return std::nullopt;
    const auto limit = parse_unsigned(fields[0]);  // "max" means no limit
    const auto period = parse_unsigned(fields[1]);
    if (!limit || !period || *period == 0) return std::nullopt;
    return *limit / *period;
  });
}

std::optional<std::uint64_t> read_v1_value(const std::string& path) {
  const auto content = read_file(path);
  if (!content) return std::nullopt;
  return parse_unsigned(trim(*content));  // "-1" (no quota) does not parse
}

struct V1Mount {
  std::string mount_point;
  GroupPath group;
};

// Finds a mounted version-1 hierarchy carrying the cpu controller in
// mountinfo. When the mount shows only a subtree of the hierarchy (a bind
// mount), the group path is taken relative to that subtree.
std::optional<V1Mount> find_v1_mount(const std::string& root, const GroupPath& group) {
  const auto content = read_file(root + "/proc/self/mountinfo");
  if (!content) return std::nullopt;
  for (std::string_view line : split(*content, '\n')) {
    const auto fields = split(trim(line), ' ');
    // id parent dev subtree mount-point options... - fstype source super-options
    if (fields.size() < 8) continue;
    const std::string_view subtree = fields[3];
    const std::string_view mount_point = fields[4];
    const std::string_view super_options = fields[fields.size() - 1];
    const std::string_view filesystem = fields[fields.size() - 3];
    if (filesystem != "cgroup") continue;
    const auto options = split(super_options, ',');
    if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
    if (subtree.empty() || subtree.front() != '/') continue;
    const GroupPath shown = components(subtree);
    if (shown.size() > group.size() || !std::equal(shown.begin(), shown.end(), group.begin())) {
      continue;  // this mount does not contain the process's group
    }
    return V1Mount{root + std::string(mount_point),
                   GroupPath(group.begin() + static_cast<std::ptrdiff_t>(shown.size()), group.end())};
  }
  return std::nullopt;
}

std::optional<std::uint64_t> quota_v1(const std::string& root, const GroupPath& group) {
  const auto quota_in = [](const std::string& dir) -> std::optional<std::uint64_t> {
    const auto quota = read_v1_value(dir + "/cpu.cfs_quota_us");
    const auto period = read_v1_value(dir + "/cpu.cfs_period_us");
    if (!quota || !period || *period == 0) return std::nullopt;
    return *quota / *period;
  };
  // The usual mount points first; mountinfo only when they do not hold the group.
  for (const char* usual : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    const std::string mount = root + usual;
    if (!certainly_missing(join_path(mount, group, group.size()))) {
      return smallest_quota(mount, group, quota_in);
    }
  }
  const auto mounted = find_v1_mount(root, group);
  if (!mounted ||
      certainly_missing(join_path(mounted->mount_point, mounted->group, mounted->group.size()))) {
    return std::nullopt;
  }
  return smallest_quota(mounted->mount_point, mounted->group, quota_in);
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(const char* value) {
  if (value == nullptr) return std::nullopt;
  // Anything outside ASCII is refused, so invalid UTF-8 needs no check of its own.
  return parse_unsigned(value);
}

std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& root) {
  const auto group = find_process_group(root);
  if (!group) return std::nullopt;
  const GroupPath path = components(group->path);
  const auto quota =
      group->version == CgroupVersion::kV2 ? quota_v2(root, path) : quota_v1(root, path);
  if (!quota) return std::nullopt;
  return std::max<std::uint64_t>(*quota, 1);  // a fraction of one CPU still runs one thread
}

std::optional<std::uint64_t> cpu_count() {
  cpu_set_t mask;  // 1024 CPUs, 128 bytes
  CPU_ZERO(&mask);
  if (::sched_getaffinity(0, sizeof mask, &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    if (count > 0) return static_cast<std::uint64_t>(count);
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<std::uint64_t>(online);
  return std::nullopt;
}

std::optional<std::uint64_t> available_parallelism(const std::string& root) {
  const auto count = cpu_count();
  if (!count) return std::nullopt;
  const auto quota = cgroup_cpu_quota(root);
  return quota ? std::min(*count, *quota) : *count;
}

std::size_t choose_thread_count(
    const char* rayon_num_threads, const char* rayon_rs_num_cpus,
    const std::function<std::optional<std::uint64_t>()>& available) {
  const auto capped = [](std::uint64_t count) {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(count, 1, kMaxThreadCount));
  };
  const auto from_system = [&] { return capped(available().value_or(1)); };
  if (const auto requested = parse_thread_count(rayon_num_threads)) {
    return *requested > 0 ? capped(*requested) : from_system();
  }
  if (const auto requested = parse_thread_count(rayon_rs_num_cpus); requested && *requested > 0) {
    return capped(*requested);
  }
  return from_system();
}

std::size_t decide_thread_count() {
  return choose_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                             [] { return available_parallelism(); });
}

}  // namespace termsweep::pool

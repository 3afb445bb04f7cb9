// Building pools: worker threads as the system sees them, failed and
// unsupported thread starts, and idle workers that cost nothing.
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "pool/worker_pool.hpp"

namespace {

using termsweep::pool::PoolBuildError;
using termsweep::pool::start_posix_thread;
using termsweep::pool::ThreadStarter;
using termsweep::pool::WorkerPool;
using namespace std::chrono_literals;

std::set<long> thread_ids() {
  std::set<long> ids;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return ids;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ids.insert(std::stol(entry->d_name));
  }
  ::closedir(tasks);
  return ids;
}

std::set<long> started_since(const std::set<long>& before) {
  std::set<long> fresh;
  for (long id : thread_ids()) {
    if (!before.count(id)) fresh.insert(id);
  }
  return fresh;
}

// Threads end asynchronously after being told to: poll for a while.
bool all_gone(const std::set<long>& ids) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    const std::set<long> now = thread_ids();
    bool any = false;
    for (long id : ids) any = any || now.count(id);
    if (!any) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

struct ThreadStat {
  char state;
  unsigned long long cpu_ticks;  // utime + stime
};

ThreadStat thread_stat(long id) {
  const std::string stat = read_text("/proc/self/task/" + std::to_string(id) + "/stat");
  // Fields after the command name, which is in parentheses and may hold spaces.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  ThreadStat result{};
  rest >> result.state;
  std::string skipped;
  for (int field = 4; field <= 13; ++field) rest >> skipped;
  unsigned long long user = 0, system = 0;
  rest >> user >> system;
  result.cpu_ticks = user + system;
  return result;
}

TEST(PoolLifecycle, StartsExactlyTWorkerThreadsThatEndWithThePool) {
  const std::set<long> before = thread_ids();
  auto pool = WorkerPool::create(3);
  const std::set<long> workers = started_since(before);
  EXPECT_EQ(pool->thread_count(), 3u);
  EXPECT_FALSE(pool->runs_on_caller());
  EXPECT_EQ(workers.size(), 3u);

  // Unnamed: the system shows the process's name for them.
  const std::string process_name = read_text("/proc/self/comm");
  for (long id : workers) {
    EXPECT_EQ(read_text("/proc/self/task/" + std::to_string(id) + "/comm"), process_name);
  }

  pool.reset();
  EXPECT_TRUE(all_gone(workers));
}

TEST(PoolLifecycle, WorkersAreDetachedWithTwoMiBStacks) {
  struct Seen {
    int detach_state = -1;
    std::size_t stack_size = 0;
    int starts = 0;
  };
  static Seen seen;
  seen = Seen{};
  ThreadStarter inspecting = [](const pthread_attr_t* attributes, void* (*entry)(void*), void* argument) {
    ::pthread_attr_getdetachstate(attributes, &seen.detach_state);
    ::pthread_attr_getstacksize(attributes, &seen.stack_size);
    ++seen.starts;
    return start_posix_thread(attributes, entry, argument);
  };
  auto pool = WorkerPool::create(2, inspecting);
  EXPECT_EQ(seen.starts, 2);
  EXPECT_EQ(seen.detach_state, PTHREAD_CREATE_DETACHED);
  EXPECT_EQ(seen.stack_size, std::max<std::size_t>(2097152, PTHREAD_STACK_MIN));
  EXPECT_EQ(termsweep::pool::worker_stack_size(), seen.stack_size);
}

TEST(PoolLifecycle, FailedThreadStartReportsTheOsErrorAndEndsStartedThreads) {
  struct Case {
    int fail_at;  // index of the start that fails
    int error;
    const char* description;
  };
  const Case cases[] = {
      {2, EAGAIN,
       "ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock, message: "
       "\"Resource temporarily unavailable\" }) }"},
      {0, EPERM,
       "ThreadPoolBuildError { kind: IOError(Os { code: 1, kind: PermissionDenied, message: "
       "\"Operation not permitted\" }) }"},
      {1, EINVAL,
       "ThreadPoolBuildError { kind: IOError(Os { code: 22, kind: InvalidInput, message: "
       "\"Invalid argument\" }) }"},
  };
  for (const Case& c : cases) {
    static std::atomic<int> starts;
    static int fail_at;
    static int error;
    starts = 0;
    fail_at = c.fail_at;
    error = c.error;
    ThreadStarter failing = [](const pthread_attr_t* attributes, void* (*entry)(void*), void* argument) {
      if (starts.fetch_add(1) >= fail_at) return error;
      return start_posix_thread(attributes, entry, argument);
    };
    const std::set<long> before = thread_ids();
    try {
      WorkerPool::create(4, failing);
      ADD_FAILURE() << "creation succeeded";
    } catch (const PoolBuildError& failure) {
      EXPECT_EQ(failure.kind(), PoolBuildError::Kind::kIOError);
      EXPECT_EQ(failure.os_error(), c.error);
      EXPECT_EQ(failure.description(), c.description);
    }
    // No retry after a failed start; the threads that did start are gone.
    EXPECT_EQ(starts.load(), c.fail_at + 1);
    EXPECT_TRUE(all_gone(started_since(before))) << "error " << c.error;
  }
}

TEST(PoolLifecycle, UnsupportedThreadsFallBackToTheCaller) {
  for (int unsupported : {ENOSYS, EOPNOTSUPP}) {
    static int error;
    error = unsupported;
    ThreadStarter refusing = [](const pthread_attr_t*, void* (*)(void*), void*) { return error; };
    const std::set<long> before = thread_ids();
    auto pool = WorkerPool::create(4, refusing);
    EXPECT_TRUE(started_since(before).empty());
    EXPECT_EQ(pool->thread_count(), 1u);
    EXPECT_TRUE(pool->runs_on_caller());

    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<std::size_t> sum{0};
    pool->for_each_index(1000, [&](std::size_t i) {
      sum += i;
      elsewhere += std::this_thread::get_id() != caller;
    });
    pool->join([&] { sum += 1; }, [&] { sum += 2; });
    pool->run([&] { elsewhere += std::this_thread::get_id() != caller; });
    EXPECT_EQ(sum.load(), 499500u + 3u);
    EXPECT_EQ(elsewhere.load(), 0);

    // Failures keep their precedence there too.
    try {
      pool->for_each_index(10, [](std::size_t i) {
        if (i >= 3) throw std::runtime_error(std::to_string(i));
      });
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), "3");
    }
  }
}

TEST(PoolLifecycle, UnsupportedThreadsStillFailOnAWorker) {
  auto outer = WorkerPool::create(1);
  ThreadStarter refusing = [](const pthread_attr_t*, void* (*)(void*), void*) { return ENOSYS; };
  outer->run([&] {
    try {
      WorkerPool::create(2, refusing);
      ADD_FAILURE() << "creation succeeded on a worker";
    } catch (const PoolBuildError& failure) {
      EXPECT_EQ(failure.os_error(), ENOSYS);
      EXPECT_NE(failure.description().find("code: 38, kind: Unsupported"), std::string::npos)
          << failure.description();
    }
  });
}

TEST(PoolLifecycle, IdleWorkersSleep) {
  const std::set<long> before = thread_ids();
  auto pool = WorkerPool::create(3);
  const std::set<long> workers = started_since(before);
  ASSERT_EQ(workers.size(), 3u);

  std::atomic<std::uint64_t> sink{0};
  pool->for_each_index(100000, [&](std::size_t i) { sink += i; });
  std::this_thread::sleep_for(100ms);  // past the short search before sleeping

  unsigned long long ticks_before = 0;
  for (long id : workers) ticks_before += thread_stat(id).cpu_ticks;
  std::this_thread::sleep_for(300ms);
  unsigned long long ticks_after = 0;
  for (long id : workers) {
    const ThreadStat stat = thread_stat(id);
    EXPECT_EQ(stat.state, 'S') << "worker " << id;
    ticks_after += stat.cpu_ticks;
  }
  // A spinning worker would burn ~30 ticks (at 100 Hz) in 300 ms.
  EXPECT_LE(ticks_after - ticks_before, 1u);

  // And they wake up again for new work.
  pool->for_each_index(1000, [&](std::size_t i) { sink += i; });
  EXPECT_EQ(sink.load(), 4999950000ull + 499500ull);
}

}  // namespace

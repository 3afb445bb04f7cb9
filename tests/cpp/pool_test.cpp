// The worker pool: its threads as the system sees them, failed and
// unsupported thread starts, idle workers that cost nothing, and the batch
// contract (every index once, lowest failure reported) on pools of several
// sizes.
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool/worker_pool.hpp"

namespace {

using termsweep::pool::BuildError;
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

WorkerPool& pool_of_size(std::size_t size) {
  // Built once per size and kept: pools are meant to live until the process ends.
  static std::unique_ptr<WorkerPool> pools[5];
  auto& pool = pools[size];
  if (!pool) pool = WorkerPool::create(size);
  return *pool;
}

const std::size_t kPoolSizes[] = {1, 2, 4};

TEST(PoolLifecycle, StartsExactlyTUnnamedWorkerThreadsThatEndWithThePool) {
  const std::set<long> before = thread_ids();
  auto pool = WorkerPool::create(3);
  const std::set<long> workers = started_since(before);
  EXPECT_EQ(pool->thread_count(), 3u);
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
  };
  for (const Case& c : {Case{2, EAGAIN}, Case{0, EPERM}, Case{1, EINVAL}}) {
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
    } catch (const BuildError& failure) {
      EXPECT_EQ(failure.kind, BuildError::Kind::kIOError);
      EXPECT_EQ(failure.os_error, c.error);
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

    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<std::size_t> sum{0};
    pool->for_each_index(1000, [&](std::size_t i) {
      sum += i;
      elsewhere += std::this_thread::get_id() != caller;
    });
    EXPECT_EQ(sum.load(), 499500u);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_THROW(pool->for_each_index(10, [](std::size_t i) {
      if (i >= 3) throw std::runtime_error(std::to_string(i));
    }), std::runtime_error);
  }
}

TEST(PoolLifecycle, IdleWorkersSleep) {
  const std::set<long> before = thread_ids();
  auto pool = WorkerPool::create(3);
  const std::set<long> workers = started_since(before);
  ASSERT_EQ(workers.size(), 3u);

  std::atomic<std::uint64_t> sink{0};
  pool->for_each_index(100000, [&](std::size_t i) { sink += i; });
  std::this_thread::sleep_for(100ms);

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

TEST(PoolBatch, VisitsEveryIndexExactlyOnce) {
  for (std::size_t size : kPoolSizes) {
    WorkerPool& pool = pool_of_size(size);
    for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 10000u, 100000u}) {
      std::vector<std::atomic<int>> visits(n);
      std::vector<std::size_t> slots(n, 0);
      const auto caller = std::this_thread::get_id();
      std::atomic<std::size_t> on_caller{0};
      pool.for_each_index(n, [&](std::size_t i) {
        visits[i].fetch_add(1, std::memory_order_relaxed);
        slots[i] = i * i;
        if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
      });
      std::size_t wrong = 0;
      for (std::size_t i = 0; i < n; ++i) {
        wrong += visits[i].load() != 1 || slots[i] != i * i;
      }
      EXPECT_EQ(wrong, 0u) << "pool " << size << ", n " << n;
      // Up to one item runs right here; larger batches go entirely to the pool.
      EXPECT_EQ(on_caller.load(), n <= 1 ? n : 0) << "pool " << size << ", n " << n;
    }
  }
}

// Whatever the interleaving: the lowest failing index's failure is the one
// rethrown, no index runs twice, every index below it ran, and nothing is
// still running when the caller gets the failure.
TEST(PoolBatch, LowestFailingIndexWins) {
  struct Case {
    std::size_t n;
    std::set<std::size_t> failing;
  };
  const Case cases[] = {
      {2, {0, 1}},
      {2, {1}},
      {10000, {9999}},
      {10000, {0, 9999}},
      {10000, {5000, 7000, 4999}},
      {20000, {9000, 8000, 7000, 6000, 5000, 4000, 3000, 2000, 1000, 123}},
  };
  for (std::size_t size : kPoolSizes) {
    WorkerPool& pool = pool_of_size(size);
    for (const Case& c : cases) {
      const std::size_t lowest = *c.failing.begin();
      for (int round = 0; round < 30; ++round) {
        std::vector<std::atomic<int>> visits(c.n);
        std::atomic<int> running{0};
        try {
          pool.for_each_index(c.n, [&](std::size_t i) {
            running.fetch_add(1);
            visits[i].fetch_add(1);
            if (i % 64 == 0) std::this_thread::yield();  // vary the interleaving
            running.fetch_sub(1);
            if (c.failing.count(i)) throw std::out_of_range(std::to_string(i));
          });
          ADD_FAILURE() << "no failure raised";
        } catch (const std::out_of_range& failure) {
          EXPECT_EQ(failure.what(), std::to_string(lowest)) << "pool " << size << ", round " << round;
        }
        EXPECT_EQ(running.load(), 0) << "work still running after the failure was rethrown";
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < c.n; ++i) wrong += visits[i].load() > 1 || (i <= lowest && visits[i].load() != 1);
        EXPECT_EQ(wrong, 0u) << "pool " << size << ", round " << round;
      }
    }
  }
}

TEST(PoolBatch, AnyExceptionTypeIsCarriedBack) {
  WorkerPool& pool = pool_of_size(2);
  EXPECT_THROW(pool.for_each_index(1000,
                                   [](std::size_t i) {
                                     if (i == 900) throw std::bad_alloc();
                                   }),
               std::bad_alloc);
  EXPECT_THROW(pool.for_each_index(1, [](std::size_t) { throw std::runtime_error("one"); }),
               std::runtime_error);
  // The pool is still fine afterwards.
  std::atomic<std::size_t> sum{0};
  pool.for_each_index(100, [&](std::size_t i) { sum += i; });
  EXPECT_EQ(sum.load(), 4950u);
}

TEST(PoolBatch, FewLongItemsRunInParallel) {
  WorkerPool& pool = pool_of_size(4);
  const auto start = std::chrono::steady_clock::now();
  pool.for_each_index(4, [](std::size_t) { std::this_thread::sleep_for(150ms); });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // One thread would need 600 ms; four workers need one item's time.
  EXPECT_LT(elapsed, 400ms);
}

TEST(PoolBatch, ManyCallersAtOnce) {
  WorkerPool& pool = pool_of_size(2);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 150; ++round) {
        std::vector<int> slots(64, 0);
        pool.for_each_index(slots.size(), [&](std::size_t i) { slots[i] = static_cast<int>(i) + 1; });
        for (std::size_t i = 0; i < slots.size(); ++i) wrong += slots[i] != static_cast<int>(i) + 1;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

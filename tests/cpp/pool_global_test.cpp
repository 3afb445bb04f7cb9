// The process-wide pool: sized once from the environment, shared by every
// caller, and usable in children made by fork().
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pool/worker_pool.hpp"

namespace {

using termsweep::pool::global_pool;
using termsweep::pool::WorkerPool;

// Before any test can create the pool, whichever test runs first.
const bool kSizedByEnvironment = [] {
  ::setenv("RAYON_NUM_THREADS", "+3", 1);
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  return true;
}();

// A batch whose every slot can be checked.
bool squares_batch_is_correct(WorkerPool& pool, std::size_t n) {
  std::vector<std::uint64_t> slots(n, 0);
  pool.for_each_index(n, [&](std::size_t i) { slots[i] = static_cast<std::uint64_t>(i) * i; });
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i] != static_cast<std::uint64_t>(i) * i) return false;
  }
  return true;
}

// Returns once every worker of `pool` has run a body, so has finished
// starting: a child forked while a thread is still being set up can inherit
// the sanitizer runtime's allocator locks held, and hang in its first malloc.
void wait_until_every_worker_has_run(WorkerPool& pool) {
  std::mutex mutex;
  std::set<std::thread::id> workers;
  const std::thread::id caller = std::this_thread::get_id();
  while (workers.size() < pool.thread_count()) {
    pool.for_each_index(4 * pool.thread_count(), [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const std::lock_guard<std::mutex> lock(mutex);
      if (std::this_thread::get_id() != caller) workers.insert(std::this_thread::get_id());
    });
  }
}

// Exit codes of the forked children.
enum ChildExit { kChildOk = 0, kChildWrongResults = 1, kChildSamePool = 2, kChildFailed = 3 };

// Runs `child` in a forked process with an alarm, so that a hang fails the
// test instead of blocking it.
template <class Child>
int exit_status_of_child(Child child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    int code = kChildFailed;
    try {
      code = child();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);  // SIGALRM = 1014: hung
  return WEXITSTATUS(status);
}

TEST(PoolGlobal, SizedOnceFromTheEnvironment) {
  ASSERT_TRUE(kSizedByEnvironment);
  WorkerPool& pool = global_pool();
  EXPECT_EQ(pool.thread_count(), 3u);
  ::setenv("RAYON_NUM_THREADS", "7", 1);
  EXPECT_EQ(&global_pool(), &pool);
  EXPECT_EQ(global_pool().thread_count(), 3u);
  ::setenv("RAYON_NUM_THREADS", "+3", 1);
}

TEST(PoolGlobal, ConcurrentFirstRequestsShareOnePool) {
  std::vector<std::thread> requesters;
  std::vector<WorkerPool*> seen(8, nullptr);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    requesters.emplace_back([&, i] { seen[i] = &global_pool(); });
  }
  for (auto& requester : requesters) requester.join();
  for (WorkerPool* pool : seen) EXPECT_EQ(pool, &global_pool());
  EXPECT_TRUE(squares_batch_is_correct(global_pool(), 10000));
}

TEST(PoolGlobal, ForkedChildGetsAWorkingPoolOfItsOwn) {
  WorkerPool& parent_pool = global_pool();
  ASSERT_TRUE(squares_batch_is_correct(parent_pool, 1000));
  wait_until_every_worker_has_run(parent_pool);
  const int status = exit_status_of_child([&] {
    WorkerPool& child_pool = global_pool();
    if (&child_pool == &parent_pool) return kChildSamePool;
    if (child_pool.thread_count() != 3) return kChildFailed;
    if (&global_pool() != &child_pool) return kChildFailed;  // built once per child
    for (int round = 0; round < 20; ++round) {
      if (!squares_batch_is_correct(child_pool, 10000)) return kChildWrongResults;
    }
    // A grandchild needs yet another pool.
    wait_until_every_worker_has_run(child_pool);
    const int grandchild = exit_status_of_child([&] {
      if (&global_pool() == &child_pool) return kChildSamePool;
      return squares_batch_is_correct(global_pool(), 5000) ? kChildOk : kChildWrongResults;
    });
    return grandchild == kChildOk ? kChildOk : kChildFailed;
  });
  EXPECT_EQ(status, kChildOk);
  // The parent's pool is unaffected.
  EXPECT_TRUE(squares_batch_is_correct(parent_pool, 10000));
}

// Forks while another thread keeps the parent's pool busy, so that the
// children inherit the pool's locks in whatever state they were.
TEST(PoolGlobal, ForkWhileTheParentPoolIsBusy) {
  WorkerPool& pool = global_pool();
  wait_until_every_worker_has_run(pool);
  std::atomic<bool> stop{false};
  std::atomic<int> parent_errors{0};
  std::atomic<bool> busy_running{false};
  std::thread busy([&] {
    while (!stop.load()) {
      if (!squares_batch_is_correct(pool, 2000)) ++parent_errors;
      busy_running = true;
    }
  });
  // Not before the busy thread is past its own start either (see
  // wait_until_every_worker_has_run).
  while (!busy_running.load()) std::this_thread::yield();
  int bad_children = 0;
  for (int child = 0; child < 25; ++child) {
    const int status = exit_status_of_child([] {
      return squares_batch_is_correct(global_pool(), 20000) ? kChildOk : kChildWrongResults;
    });
    if (status != kChildOk) {
      ++bad_children;
      ADD_FAILURE() << "child " << child << " ended with " << status;
    }
  }
  stop = true;
  busy.join();
  EXPECT_EQ(bad_children, 0);
  EXPECT_EQ(parent_errors.load(), 0);
}

}  // namespace

// What callers of the pool rely on: fork-join, run-from-outside and the
// batch helper, on private pool instances of several sizes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/failure.hpp"
#include "pool/worker_pool.hpp"

namespace {

using termsweep::InternalFailure;
using termsweep::pool::on_worker_thread;
using termsweep::pool::WorkerPool;
using namespace std::chrono_literals;

WorkerPool& pool_of_size(std::size_t size) {
  // Built once per size and kept: pools are meant to live until the process ends.
  static std::unique_ptr<WorkerPool> pools[5];
  auto& pool = pools[size];
  if (!pool) pool = WorkerPool::create(size);
  return *pool;
}

const std::size_t kPoolSizes[] = {1, 2, 4};

// Fails the way the engine does for a bad text.
[[noreturn]] void fail_for(std::size_t index) {
  throw InternalFailure("failure at " + std::to_string(index));
}

TEST(PoolForEachIndex, VisitsEveryIndexExactlyOnce) {
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

TEST(PoolForEachIndex, LowestFailingIndexWinsWhateverTheScheduling) {
  struct Case {
    std::size_t n;
    std::vector<std::size_t> failing;
  };
  const Case cases[] = {
      {2, {0, 1}},
      {2, {1}},
      {10000, {9999}},
      {10000, {0, 9999}},
      {10000, {5000, 7000, 4999}},
      {10000, {9000, 8000, 7000, 6000, 5000, 4000, 3000, 2000, 1000, 123}},
  };
  for (std::size_t size : kPoolSizes) {
    WorkerPool& pool = pool_of_size(size);
    for (const Case& c : cases) {
      const std::set<std::size_t> failing(c.failing.begin(), c.failing.end());
      const std::string expected = "failure at " + std::to_string(*failing.begin());
      for (int round = 0; round < 30; ++round) {
        std::atomic<int> running{0};
        try {
          pool.for_each_index(c.n, [&](std::size_t i) {
            running.fetch_add(1);
            if (i % 64 == 0) std::this_thread::yield();  // vary the interleaving
            running.fetch_sub(1);
            if (failing.count(i)) fail_for(i);
          });
          ADD_FAILURE() << "no failure raised";
        } catch (const InternalFailure& failure) {
          EXPECT_EQ(failure.message(), expected) << "pool " << size << ", round " << round;
        }
        EXPECT_EQ(running.load(), 0) << "work still running after the failure was rethrown";
      }
    }
  }
}

// A failure ends its own piece only. Pieces are contiguous and processed in
// increasing order, so the indices skipped must be runs that start right
// after a failing index, and every other index is still processed.
TEST(PoolForEachIndex, FailureStopsOnlyItsOwnPiece) {
  constexpr std::size_t n = 20000;
  const std::set<std::size_t> failing = {0, 7777, 15000};
  for (std::size_t size : kPoolSizes) {
    WorkerPool& pool = pool_of_size(size);
    for (int round = 0; round < 20; ++round) {
      std::vector<std::atomic<int>> visits(n);
      EXPECT_THROW(pool.for_each_index(n,
                                       [&](std::size_t i) {
                                         visits[i].fetch_add(1);
                                         if (failing.count(i)) fail_for(i);
                                       }),
                   InternalFailure);
      std::size_t skipped = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const int count = visits[i].load();
        ASSERT_LE(count, 1) << "index " << i << " processed twice";
        if (count == 0) {
          ++skipped;
          ASSERT_GT(i, 0u);
          ASSERT_TRUE(failing.count(i - 1) || visits[i - 1].load() == 0)
              << "index " << i << " skipped although its piece did not fail (pool " << size << ")";
        }
      }
      for (std::size_t f : failing) EXPECT_EQ(visits[f].load(), 1);
      // With n far above T pieces hold many items: the piece of index 0
      // holds index 1 too, which must not run after 0 failed.
      EXPECT_EQ(visits[1].load(), 0);
      // The first cut always separates [0, n/2) from [n/2, n): the upper
      // half cannot all be skipped.
      EXPECT_EQ(visits[n - 1].load(), 1);
      EXPECT_LT(skipped, n - failing.size());
    }
  }
}

TEST(PoolForEachIndex, AnyExceptionTypeIsCarriedBack) {
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

TEST(PoolForEachIndex, NestedUseFromWorkersDoesNotDeadlock) {
  for (std::size_t size : kPoolSizes) {
    WorkerPool& pool = pool_of_size(size);
    std::atomic<std::size_t> sum{0};
    pool.for_each_index(16, [&](std::size_t outer) {
      EXPECT_TRUE(on_worker_thread());
      pool.for_each_index(1000, [&](std::size_t inner) { sum += outer * 1000 + inner; });
    });
    EXPECT_EQ(sum.load(), 16000u * 15999u / 2) << "pool " << size;

    // A batch started by a job that already runs on a worker.
    std::atomic<std::size_t> count{0};
    pool.run([&] { pool.for_each_index(5000, [&](std::size_t) { ++count; }); });
    EXPECT_EQ(count.load(), 5000u);
  }
}

TEST(PoolForEachIndex, FewLongItemsRunInParallel) {
  WorkerPool& pool = pool_of_size(4);
  const auto start = std::chrono::steady_clock::now();
  pool.for_each_index(4, [](std::size_t) { std::this_thread::sleep_for(150ms); });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // One thread would need 600 ms; four workers need one item's time.
  EXPECT_LT(elapsed, 400ms);
}

TEST(PoolForEachIndex, ManyOutsideCallersAtOnce) {
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

TEST(PoolJoin, FailurePrecedenceAndBothHalvesEnd) {
  struct Case {
    const char* name;
    bool first_fails;
    bool second_fails;
    const char* expected;  // null: no failure
  };
  const Case cases[] = {
      {"both succeed", false, false, nullptr},
      {"first fails", true, false, "first"},
      {"second fails", false, true, "second"},
      {"both fail: the first wins", true, true, "first"},
  };
  WorkerPool& pool = pool_of_size(4);
  for (const Case& c : cases) {
    for (bool from_worker : {false, true}) {
      std::atomic<bool> second_ended{false};
      auto first = [&] {
        if (c.first_fails) throw InternalFailure("first");
      };
      auto second = [&] {
        std::this_thread::sleep_for(30ms);  // still running when the first fails
        second_ended = true;
        if (c.second_fails) throw InternalFailure("second");
      };
      std::string caught;
      try {
        if (from_worker) {
          pool.run([&] { pool.join(first, second); });
        } else {
          pool.join(first, second);
        }
      } catch (const InternalFailure& failure) {
        caught = failure.message();
        EXPECT_TRUE(second_ended.load()) << c.name << ": rethrown before the second half ended";
      }
      EXPECT_EQ(caught, c.expected ? c.expected : "") << c.name << (from_worker ? " (worker)" : "");
      EXPECT_TRUE(second_ended.load()) << c.name;
    }
  }
}

TEST(PoolJoin, HalvesLearnWhetherTheyMigrated) {
  WorkerPool& pool = pool_of_size(2);
  // From a worker the first half runs right there.
  pool.run([&] {
    const auto maker = std::this_thread::get_id();
    pool.join(
        [&](bool migrated) {
          EXPECT_FALSE(migrated);
          EXPECT_EQ(std::this_thread::get_id(), maker);
        },
        [&](bool migrated) { EXPECT_EQ(migrated, std::this_thread::get_id() != maker); });
  });
  // From outside the pair moved into the pool: the first half migrated.
  const auto caller = std::this_thread::get_id();
  pool.join(
      [&](bool migrated) {
        EXPECT_TRUE(migrated);
        EXPECT_NE(std::this_thread::get_id(), caller);
      },
      [&](bool migrated) { EXPECT_TRUE(migrated); });
}

TEST(PoolJoin, DeepRecursionSpreadsOverWorkers) {
  WorkerPool& pool = pool_of_size(4);
  std::mutex seen_mutex;
  std::set<std::thread::id> seen;
  // Binary tree of 2^12 leaves, each sleeping a little so that thieves get a chance.
  std::function<std::size_t(int)> tree = [&](int depth) -> std::size_t {
    if (depth == 0) {
      std::this_thread::sleep_for(50us);
      std::lock_guard lock(seen_mutex);
      seen.insert(std::this_thread::get_id());
      return 1;
    }
    std::size_t left = 0, right = 0;
    pool.join([&] { left = tree(depth - 1); }, [&] { right = tree(depth - 1); });
    return left + right;
  };
  std::size_t leaves = 0;
  pool.run([&] { leaves = tree(12); });
  EXPECT_EQ(leaves, 4096u);
  EXPECT_GE(seen.size(), 2u);
  EXPECT_LE(seen.size(), 4u);
}

TEST(PoolRun, RunsOnAWorkerAndRethrowsOnTheCaller) {
  WorkerPool& pool = pool_of_size(1);
  const auto caller = std::this_thread::get_id();
  std::thread::id ran_on;
  pool.run([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_NE(ran_on, caller);
  EXPECT_FALSE(on_worker_thread());

  try {
    pool.run([] { termsweep::fail("broken rule"); });
    ADD_FAILURE() << "no failure raised";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "broken rule");
  }
  // The latch is reused: many rounds in a row, none returning early.
  for (int round = 0; round < 2000; ++round) {
    std::atomic<bool> done{false};
    pool.run([&] { done = true; });
    ASSERT_TRUE(done.load());
  }
}

}  // namespace

// Worker pool figures: batches of many tiny items and of a few long ones on
// pools of several sizes, and the CPU an idle pool uses.
//
//   pool_bench [rounds]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pool/worker_pool.hpp"

namespace {

using termsweep::pool::WorkerPool;
using Clock = std::chrono::steady_clock;

std::set<long> thread_ids() {
  std::set<long> ids;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] != '.') ids.insert(std::stol(entry->d_name));
    }
    ::closedir(tasks);
  }
  return ids;
}

// CPU time a thread has used, in nanoseconds (schedstat's first field).
std::uint64_t cpu_ns(long id) {
  std::ifstream file("/proc/self/task/" + std::to_string(id) + "/schedstat");
  std::uint64_t ns = 0;
  file >> ns;
  return ns;
}

// A few nanoseconds of work whose result cannot be optimised away.
inline std::uint64_t tiny_work(std::size_t i) {
  std::uint64_t x = i * 0x9E3779B97F4A7C15ull;
  x ^= x >> 31;
  return x * 0xBF58476D1CE4E5B9ull;
}

// Roughly a hundred times more work per item.
inline std::uint64_t small_work(std::size_t i) {
  std::uint64_t x = i;
  for (int step = 0; step < 100; ++step) x = tiny_work(static_cast<std::size_t>(x) + 1);
  return x;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <class Work>
void many_items(const char* label, WorkerPool* pool, std::size_t n, int rounds, Work work) {
  std::vector<std::uint64_t> slots(n);
  std::vector<double> micros;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    if (pool != nullptr) {
      pool->for_each_index(n, [&](std::size_t i) { slots[i] = work(i); });
    } else {
      for (std::size_t i = 0; i < n; ++i) slots[i] = work(i);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::uint64_t check = 0;
  for (auto v : slots) check ^= v;
  std::printf("%-34s median %9.1f us  (%5.2f ns/item, check %016llx)\n", label, median(micros),
              median(micros) * 1000.0 / static_cast<double>(n), static_cast<unsigned long long>(check));
}

void long_items(const char* label, WorkerPool& pool, std::size_t n, std::chrono::milliseconds each) {
  const auto start = Clock::now();
  pool.for_each_index(n, [&](std::size_t) {
    const auto until = Clock::now() + each;
    volatile std::uint64_t spin = 0;
    while (Clock::now() < until) spin = spin + 1;
  });
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("%-34s %9.1f ms  (%zu items x %lld ms of CPU)\n", label, ms, n,
              static_cast<long long>(each.count()));
}

void idle_cost(std::size_t threads) {
  const std::set<long> before = thread_ids();
  auto pool = WorkerPool::create(threads);
  std::set<long> workers;
  for (long id : thread_ids()) {
    if (!before.count(id)) workers.insert(id);
  }
  std::vector<std::uint64_t> slots(100000);
  pool->for_each_index(slots.size(), [&](std::size_t i) { slots[i] = tiny_work(i); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  std::uint64_t start_ns = 0, end_ns = 0;
  for (long id : workers) start_ns += cpu_ns(id);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (long id : workers) end_ns += cpu_ns(id);
  std::printf("idle pool of %zu workers over 2 s:  %.3f ms CPU in total (%.4f%% of one CPU)\n",
              workers.size(), static_cast<double>(end_ns - start_ns) / 1e6,
              static_cast<double>(end_ns - start_ns) / 2e9 * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  constexpr std::size_t kTiny = 100000;
  std::printf("CPUs available: %u, rounds: %d\n", std::thread::hardware_concurrency(), rounds);

  const auto tiny = [](std::size_t i) { return tiny_work(i); };
  const auto small = [](std::size_t i) { return small_work(i); };
  many_items("100000 tiny items, plain loop", nullptr, kTiny, rounds, tiny);
  many_items("100000 small items, plain loop", nullptr, kTiny, rounds / 10 + 1, small);
  for (std::size_t threads : {1, 2, 4}) {
    auto pool = WorkerPool::create(threads);
    const std::string suffix = ", T=" + std::to_string(threads);
    many_items(("100000 tiny items" + suffix).c_str(), pool.get(), kTiny, rounds, tiny);
    many_items(("100 tiny items" + suffix).c_str(), pool.get(), 100, rounds * 10, tiny);
    many_items(("100000 small items" + suffix).c_str(), pool.get(), kTiny, rounds / 10 + 1, small);
  }
  for (std::size_t threads : {1, 2}) {
    auto pool = WorkerPool::create(threads);
    const std::string label = "few long items, T=" + std::to_string(threads);
    long_items(label.c_str(), *pool, 8, std::chrono::milliseconds(25));
  }
  idle_cost(2);
  idle_cost(8);
  return 0;
}

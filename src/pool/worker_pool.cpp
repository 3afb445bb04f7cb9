#include "pool/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <utility>

#include "pool/thread_count.hpp"

namespace termsweep::pool {
namespace detail {

// One published batch. Workers claim `chunk` indices at a time from `next`;
// the caller waits until every index is claimed and no worker is still in it.
struct Batch {
  Batch(RangeBody work, std::size_t count, std::size_t chunk_size) : body(work), n(count), chunk(chunk_size) {}

  const RangeBody body;
  const std::size_t n;
  const std::size_t chunk;
  std::atomic<std::size_t> next{0};
  std::size_t running = 0;  // workers inside the batch; guarded by Shared::mutex

  std::atomic<std::size_t> lowest_failure{std::numeric_limits<std::size_t>::max()};
  std::mutex failure_mutex;
  std::exception_ptr failure;  // that of lowest_failure

  void record_failure(std::size_t index, std::exception_ptr error) {
    std::lock_guard lock(failure_mutex);
    if (index >= lowest_failure.load(std::memory_order_relaxed)) return;
    lowest_failure.store(index, std::memory_order_relaxed);
    failure = std::move(error);
  }

  // Claims chunks until none is left. A chunk wholly above a known failure is
  // skipped: it cannot change which failure is reported.
  void work() {
    while (true) {
      const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      if (begin > lowest_failure.load(std::memory_order_relaxed)) continue;
      std::size_t index = begin;
      try {
        body.invoke(body.object, index, std::min(n - begin, chunk) + begin);
      } catch (...) {
        record_failure(index, std::current_exception());
      }
    }
  }
};

// What the workers of one pool share. They own it together with the pool, so
// that it outlives a pool whose threads are still ending.
struct Shared {
  std::mutex mutex;
  std::condition_variable work_ready;  // workers sleep on it between batches
  std::condition_variable batch_done;  // the caller sleeps on it during one
  Batch* batch = nullptr;
  std::uint64_t generation = 0;  // batches published so far
  bool terminating = false;
  std::mutex caller_gate;  // one batch at a time
};

}  // namespace detail

namespace {

using detail::Batch;
using detail::Shared;

// Bookkeeping on a worker outside any batch body has nobody to report to.
[[noreturn]] void abort_from_worker() noexcept {
  static const char kMessage[] =
      "termsweep: unexpected failure detected in a worker thread; aborting the process\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::abort();
}

// Sleeps until a batch it has not yet joined is published, works on it, and
// again; ends when told to.
void* worker_main(void* argument) noexcept {
  const std::shared_ptr<Shared> shared = [&] {
    const std::unique_ptr<std::shared_ptr<Shared>> start(static_cast<std::shared_ptr<Shared>*>(argument));
    return std::move(*start);
  }();
  try {
    std::uint64_t joined = 0;
    std::unique_lock lock(shared->mutex);
    while (true) {
      shared->work_ready.wait(lock, [&] {
        return shared->terminating || (shared->batch != nullptr && shared->generation != joined);
      });
      if (shared->terminating) return nullptr;
      joined = shared->generation;
      Batch& batch = *shared->batch;
      ++batch.running;
      lock.unlock();
      batch.work();
      lock.lock();
      if (--batch.running == 0) shared->batch_done.notify_one();
    }
  } catch (...) {
    abort_from_worker();
  }
}

void terminate(Shared& shared) {
  std::lock_guard lock(shared.mutex);
  shared.terminating = true;
  shared.work_ready.notify_all();
}

class ThreadAttributes {
 public:
  ThreadAttributes() {
    if (const int error = ::pthread_attr_init(&attributes_); error != 0) {
      throw BuildError{BuildError::Kind::kIOError, error};
    }
  }
  ~ThreadAttributes() { ::pthread_attr_destroy(&attributes_); }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  pthread_attr_t* get() { return &attributes_; }

 private:
  pthread_attr_t attributes_;
};

std::size_t round_up_to_page(std::size_t size) {
  const long reported = ::sysconf(_SC_PAGESIZE);
  const std::size_t page = reported > 0 ? static_cast<std::size_t>(reported) : 4096;
  return (size + page - 1) / page * page;
}

// Starts `count` detached workers one by one. On a failed start the workers
// already running are told to end and the OS error is thrown.
void start_workers(const std::shared_ptr<Shared>& shared, std::size_t count,
                   const ThreadStarter& start_thread) {
  const auto refuse = [&](int error) {
    terminate(*shared);
    throw BuildError{BuildError::Kind::kIOError, error};
  };
  ThreadAttributes attributes;
  if (const int error = ::pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED)) {
    refuse(error);
  }
  std::size_t stack_size = worker_stack_size();
  int error = ::pthread_attr_setstacksize(attributes.get(), stack_size);
  if (error == EINVAL) {
    // Large enough, so the size must be misaligned for this system.
    stack_size = round_up_to_page(stack_size);
    error = ::pthread_attr_setstacksize(attributes.get(), stack_size);
  }
  if (error != 0) refuse(error);

  bool stack_rounded = stack_size == round_up_to_page(stack_size);
  for (std::size_t index = 0; index < count; ++index) {
    auto start = std::make_unique<std::shared_ptr<Shared>>(shared);
    error = start_thread(attributes.get(), &worker_main, start.get());
    if (error == EINVAL && !stack_rounded) {
      stack_rounded = true;
      stack_size = round_up_to_page(stack_size);
      error = ::pthread_attr_setstacksize(attributes.get(), stack_size);
      if (error == 0) error = start_thread(attributes.get(), &worker_main, start.get());
    }
    if (error != 0) refuse(error);
    (void)start.release();  // now owned by the new thread
  }
}

}  // namespace

int start_posix_thread(const pthread_attr_t* attributes, void* (*entry)(void*), void* argument) {
  pthread_t thread;
  return ::pthread_create(&thread, attributes, entry, argument);
}

std::size_t worker_stack_size() {
  constexpr std::size_t kStackSize = 2 * 1024 * 1024;
  // The C library's own minimum (sysconf) already covers its TLS needs here;
  // 131,072 bytes when it cannot say.
  const long reported = ::sysconf(_SC_THREAD_STACK_MIN);
  const std::size_t minimum = reported > 0 ? static_cast<std::size_t>(reported) : 131072;
  return std::max(kStackSize, minimum);
}

std::unique_ptr<WorkerPool> WorkerPool::create(std::size_t thread_count,
                                               const ThreadStarter& start_thread) {
  thread_count = std::clamp<std::size_t>(thread_count, 1, kMaxThreadCount);
  auto shared = std::make_shared<Shared>();
  try {
    start_workers(shared, thread_count, start_thread);
  } catch (const BuildError& error) {
    if (error.os_error != ENOSYS && error.os_error != EOPNOTSUPP) throw;
    // Threads are not available at all: the caller becomes the only worker.
    return std::unique_ptr<WorkerPool>(new WorkerPool(1, nullptr));
  }
  return std::unique_ptr<WorkerPool>(new WorkerPool(thread_count, std::move(shared)));
}

WorkerPool::WorkerPool(std::size_t thread_count, std::shared_ptr<Shared> shared)
    : thread_count_(thread_count), shared_(std::move(shared)) {}

WorkerPool::~WorkerPool() {
  if (shared_) terminate(*shared_);
}

void WorkerPool::run_batch(std::size_t n, detail::RangeBody body) {
  if (n <= 1 || !shared_) {
    // The first failure ends the loop, and it is the lowest.
    std::size_t index = 0;
    body.invoke(body.object, index, n);
    return;
  }
  // Chunks small enough to even out texts of unequal cost, large enough that
  // the shared counter is touched rarely.
  Batch batch(body, n, std::max<std::size_t>(1, n / (thread_count_ * 32)));
  {
    std::lock_guard gate(shared_->caller_gate);
    std::unique_lock lock(shared_->mutex);
    shared_->batch = &batch;
    ++shared_->generation;
    shared_->work_ready.notify_all();
    shared_->batch_done.wait(lock, [&] {
      return batch.running == 0 && batch.next.load(std::memory_order_relaxed) >= n;
    });
    shared_->batch = nullptr;
  }
  if (batch.failure) std::rethrow_exception(batch.failure);
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

struct GlobalSlot {
  WorkerPool* pool = nullptr;
  pid_t creator_pid = 0;
  std::size_t thread_count = 0;
  std::exception_ptr creation_failure;
};

GlobalSlot g_global;
pthread_once_t g_global_once = PTHREAD_ONCE_INIT;
thread_local bool t_ran_global_creation = false;

void create_global_pool() noexcept {
  t_ran_global_creation = true;
  try {
    g_global.creator_pid = ::getpid();
    g_global.thread_count = decide_thread_count();
    g_global.pool = WorkerPool::create(g_global.thread_count).release();
  } catch (...) {
    g_global.creation_failure = std::current_exception();
  }
}

// A forked child inherits the pool's bookkeeping but none of its threads, and
// the parent's mutexes may have been copied while locked. The child therefore
// builds a pool of its own on first use and never touches the parent's. This
// is detected by pid on demand rather than with pthread_atfork handlers:
// handlers would run on every fork of the host process (including the many
// that exec right away) and would have to take the pool's locks in the
// parent around the fork, which can stall or deadlock a forking thread.
struct ChildPool {
  pid_t pid;
  WorkerPool* pool;
};
std::atomic<ChildPool*> g_child_pool{nullptr};

WorkerPool& pool_for_forked_child(std::size_t thread_count) {
  const pid_t pid = ::getpid();
  ChildPool* current = g_child_pool.load(std::memory_order_acquire);
  while (current == nullptr || current->pid != pid) {
    std::unique_ptr<WorkerPool> fresh = WorkerPool::create(thread_count);
    auto* candidate = new ChildPool{pid, fresh.get()};
    if (g_child_pool.compare_exchange_strong(current, candidate, std::memory_order_acq_rel)) {
      (void)fresh.release();
      return *candidate->pool;
    }
    // Another thread of this child published first; `current` now holds it.
    delete candidate;
  }
  return *current->pool;
}

}  // namespace

WorkerPool& global_pool() {
  ::pthread_once(&g_global_once, &create_global_pool);
  if (g_global.pool == nullptr) {
    if (std::exchange(t_ran_global_creation, false) && g_global.creation_failure) {
      std::rethrow_exception(g_global.creation_failure);
    }
    throw BuildError{BuildError::Kind::kGlobalPoolAlreadyInitialized};
  }
  if (g_global.creator_pid == ::getpid()) return *g_global.pool;
  return pool_for_forked_child(g_global.thread_count);
}

}  // namespace termsweep::pool

#include "pool/worker_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/failure.hpp"
#include "pool/thread_count.hpp"

namespace termsweep::pool {

// ---------------------------------------------------------------------------
// Build errors

namespace {

const char* os_error_kind(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EINVAL: return "InvalidInput";
    case ENOSYS:
    case EOPNOTSUPP: return "Unsupported";
    default: return "Uncategorized";
  }
}

bool is_unsupported(int code) { return code == ENOSYS || code == EOPNOTSUPP; }

std::string describe_build_error(PoolBuildError::Kind kind, int os_error) {
  std::string kind_text;
  switch (kind) {
    case PoolBuildError::Kind::kGlobalPoolAlreadyInitialized:
      kind_text = "GlobalPoolAlreadyInitialized";
      break;
    case PoolBuildError::Kind::kCurrentThreadAlreadyInPool:
      kind_text = "CurrentThreadAlreadyInPool";
      break;
    case PoolBuildError::Kind::kIOError: {
      char buffer[256];
      const char* message = ::strerror_r(os_error, buffer, sizeof buffer);
      kind_text = "IOError(Os { code: " + std::to_string(os_error) +
                  ", kind: " + os_error_kind(os_error) + ", message: \"" + message + "\" })";
      break;
    }
  }
  return "ThreadPoolBuildError { kind: " + kind_text + " }";
}

// Bookkeeping on a worker outside any job has nobody to report to.
[[noreturn]] void abort_from_worker() noexcept {
  static const char kMessage[] =
      "termsweep: unexpected failure detected in a worker thread; aborting the process\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::abort();
}

}  // namespace

PoolBuildError::PoolBuildError(Kind kind, int os_error)
    : kind_(kind), os_error_(os_error), description_(describe_build_error(kind, os_error)) {}

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

// ---------------------------------------------------------------------------
// Scheduler internals

namespace detail {

namespace {

// Rounds of looking for work (yielding in between) before an idle worker
// goes to sleep: long enough to catch work that follows right after, short
// enough that an idle pool costs nothing measurable.
constexpr int kSearchRoundsBeforeSleep = 64;

struct Job {
  void (*execute)(Job* self);  // runs on a worker that took the job from a queue
};

// A job's queue: the owner pushes and pops at the back, thieves take from the
// front. Jobs are few (one per fork-join cut), so a mutex is cheap enough;
// the atomic size lets thieves skip empty queues without locking.
class JobQueue {
 public:
  void push(Job* job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(job);
    size_.store(jobs_.size(), std::memory_order_relaxed);
  }
  Job* pop_newest() {
    if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(mutex_);
    if (jobs_.empty()) return nullptr;
    Job* job = jobs_.back();
    jobs_.pop_back();
    size_.store(jobs_.size(), std::memory_order_relaxed);
    return job;
  }
  Job* take_oldest() {
    if (size_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(mutex_);
    if (jobs_.empty()) return nullptr;
    Job* job = jobs_.front();
    jobs_.pop_front();
    size_.store(jobs_.size(), std::memory_order_relaxed);
    return job;
  }

 private:
  std::mutex mutex_;
  std::deque<Job*> jobs_;
  std::atomic<std::size_t> size_{0};
};

struct WorkerSlot {
  JobQueue jobs;
  std::condition_variable wake;
  bool sleeping = false;  // guarded by Registry::sleep_mutex_
};

}  // namespace

class Registry {
 public:
  // `thread_count` slots for started workers, or none for a pool that runs
  // on its caller.
  Registry(std::size_t thread_count, bool runs_on_caller)
      : thread_count_(thread_count), runs_on_caller_(runs_on_caller), creator_pid_(::getpid()) {
    if (!runs_on_caller) {
      slots_.reserve(thread_count);
      for (std::size_t i = 0; i < thread_count; ++i) slots_.push_back(std::make_unique<WorkerSlot>());
      sleeping_ids_.reserve(thread_count);
    }
  }

  std::size_t thread_count() const { return thread_count_; }
  bool runs_on_caller() const { return runs_on_caller_; }
  pid_t creator_pid() const { return creator_pid_; }
  std::size_t slot_count() const { return slots_.size(); }
  WorkerSlot& slot(std::size_t index) { return *slots_[index]; }
  WorkerPool* handle = nullptr;  // the pool object that owns this registry

  void inject(Job* job) {
    injected_.push(job);
    announce_work();
  }
  Job* take_injected() { return injected_.take_oldest(); }

  // Called after every push: a sleeper that registered before this counter
  // moved gets woken; one registering after sees the counter move and does
  // not sleep (both sides use sequentially consistent operations).
  void announce_work() {
    work_events_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) wake_one();
  }

  // Sleeps worker `index` unless new work was announced since `seen_events`
  // or `flag` is already set. Returns when woken.
  void sleep(std::size_t index, std::uint64_t seen_events, const std::atomic<bool>& flag) {
    WorkerSlot& me = slot(index);
    std::unique_lock lock(sleep_mutex_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (work_events_.load(std::memory_order_seq_cst) != seen_events ||
        flag.load(std::memory_order_seq_cst)) {
      sleepers_.fetch_sub(1, std::memory_order_relaxed);
      return;
    }
    me.sleeping = true;
    sleeping_ids_.push_back(index);
    while (me.sleeping) me.wake.wait(lock);  // spurious wake-ups loop back
  }

  // After setting a flag that worker `index` may be sleeping on.
  void wake_worker(std::size_t index) {
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lock(sleep_mutex_);
    WorkerSlot& target = slot(index);
    if (!target.sleeping) return;
    sleeping_ids_.erase(std::find(sleeping_ids_.begin(), sleeping_ids_.end(), index));
    wake_locked(target);
  }

  void wake_all() {
    std::lock_guard lock(sleep_mutex_);
    for (std::size_t id : sleeping_ids_) wake_locked(slot(id));
    sleeping_ids_.clear();
  }

  const std::atomic<bool>& terminating() const { return terminating_; }
  std::uint64_t work_events() const { return work_events_.load(std::memory_order_seq_cst); }

  void terminate() {
    terminating_.store(true, std::memory_order_seq_cst);
    wake_all();
  }

  void mark_primed() {
    std::lock_guard lock(primed_mutex_);
    ++primed_;
    primed_changed_.notify_all();
  }
  void wait_until_primed(std::size_t count) {
    std::unique_lock lock(primed_mutex_);
    primed_changed_.wait(lock, [&] { return primed_ >= count; });
  }

 private:
  void wake_one() {
    std::lock_guard lock(sleep_mutex_);
    if (sleeping_ids_.empty()) return;
    // The most recent sleeper: its caches are the warmest.
    WorkerSlot& target = slot(sleeping_ids_.back());
    sleeping_ids_.pop_back();
    wake_locked(target);
  }
  void wake_locked(WorkerSlot& target) {
    target.sleeping = false;
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    target.wake.notify_one();
  }

  const std::size_t thread_count_;
  const bool runs_on_caller_;
  const pid_t creator_pid_;
  std::vector<std::unique_ptr<WorkerSlot>> slots_;
  JobQueue injected_;

  std::mutex sleep_mutex_;
  std::vector<std::size_t> sleeping_ids_;  // guarded by sleep_mutex_
  std::atomic<std::size_t> sleepers_{0};
  std::atomic<std::uint64_t> work_events_{0};
  std::atomic<bool> terminating_{false};

  std::mutex primed_mutex_;
  std::condition_variable primed_changed_;
  std::size_t primed_ = 0;
};

namespace {

// The worker identity of the current thread (null outside any pool).
class WorkerThread;
thread_local WorkerThread* t_current_worker = nullptr;

class WorkerThread {
 public:
  WorkerThread(Registry& registry, std::size_t index)
      : registry_(registry), index_(index), steal_seed_(index * 0x9E3779B97F4A7C15ull + 1) {}

  Registry& registry() const { return registry_; }
  std::size_t index() const { return index_; }

  void push(Job* job) {
    registry_.slot(index_).jobs.push(job);
    registry_.announce_work();
  }
  Job* pop_own() { return registry_.slot(index_).jobs.pop_newest(); }

  // Runs jobs (own, stolen, injected) until `flag` is set; sleeps when there
  // is nothing to do. Jobs catch their own failures, so anything thrown here
  // comes from the scheduler itself and cannot be handed to anyone: a frame
  // holding a job that another worker still runs must not unwind.
  void wait_until(const std::atomic<bool>& flag) noexcept {
    try {
      search_until(flag);
    } catch (...) {
      abort_from_worker();
    }
  }

 private:
  void search_until(const std::atomic<bool>& flag) {
    int idle_rounds = 0;
    while (!flag.load(std::memory_order_acquire)) {
      if (Job* job = find_work()) {
        job->execute(job);
        idle_rounds = 0;
        continue;
      }
      if (idle_rounds < kSearchRoundsBeforeSleep) {
        ++idle_rounds;
        ::sched_yield();
        continue;
      }
      // Note the work counter before the last search, so that work pushed
      // after that search cancels the sleep.
      const std::uint64_t seen = registry_.work_events();
      if (Job* job = find_work()) {
        job->execute(job);
      } else {
        registry_.sleep(index_, seen, flag);
      }
      idle_rounds = 0;
    }
  }

  Job* find_work() {
    if (Job* job = pop_own()) return job;
    if (Job* job = steal()) return job;
    return registry_.take_injected();
  }

  Job* steal() {
    const std::size_t count = registry_.slot_count();
    if (count <= 1) return nullptr;
    // xorshift: a cheap varying start so that thieves spread over victims.
    steal_seed_ ^= steal_seed_ << 13;
    steal_seed_ ^= steal_seed_ >> 7;
    steal_seed_ ^= steal_seed_ << 17;
    const std::size_t start = static_cast<std::size_t>(steal_seed_ % count);
    for (std::size_t offset = 0; offset < count; ++offset) {
      const std::size_t victim = (start + offset) % count;
      if (victim == index_) continue;
      if (Job* job = registry_.slot(victim).jobs.take_oldest()) return job;
    }
    return nullptr;
  }

  Registry& registry_;
  const std::size_t index_;
  std::uint64_t steal_seed_;
};

WorkerThread* current_worker_of(const Registry& registry) {
  WorkerThread* worker = t_current_worker;
  return worker != nullptr && &worker->registry() == &registry ? worker : nullptr;
}

// The second half of a fork-join pair, living on the stack of the worker that
// made the pair.
struct JoinJob : Job {
  JoinJob(TaskRef work, WorkerThread& owner)
      : Job{&JoinJob::execute_stolen}, task(work), registry(owner.registry()), owner_index(owner.index()) {}

  void run(bool migrated) {
    try {
      task.invoke(task.object, migrated);
    } catch (...) {
      failure = std::current_exception();
    }
  }

  static void execute_stolen(Job* base) {
    auto* self = static_cast<JoinJob*>(base);
    self->run(/*migrated=*/true);
    // The owner may return and free this job as soon as `done` is set: copy
    // what the wake-up needs first.
    Registry& pool = self->registry;
    const std::size_t owner = self->owner_index;
    self->done.store(true, std::memory_order_seq_cst);
    pool.wake_worker(owner);
  }

  TaskRef task;
  Registry& registry;
  std::size_t owner_index;
  std::exception_ptr failure;
  std::atomic<bool> done{false};
};

void join_on_worker(WorkerThread& worker, TaskRef first, TaskRef second, bool injected) {
  JoinJob second_job(second, worker);
  worker.push(&second_job);

  std::exception_ptr first_failure;
  try {
    first.invoke(first.object, injected);
  } catch (...) {
    first_failure = std::current_exception();
  }
  if (first_failure) {
    // The second half still has to end before its stack frame goes away.
    worker.wait_until(second_job.done);
    std::rethrow_exception(first_failure);
  }

  while (!second_job.done.load(std::memory_order_acquire)) {
    Job* job = worker.pop_own();
    if (job == &second_job) {
      second_job.run(injected);  // nobody took it: run it here
      break;
    }
    if (job == nullptr) {
      worker.wait_until(second_job.done);  // stolen: help others meanwhile
      break;
    }
    job->execute(job);
  }
  if (second_job.failure) std::rethrow_exception(second_job.failure);
}

// Runs both halves one after the other on a pool that has no threads.
void join_on_caller(TaskRef first, TaskRef second) {
  std::exception_ptr first_failure;
  try {
    first.invoke(first.object, false);
  } catch (...) {
    first_failure = std::current_exception();
  }
  second.invoke(second.object, false);  // its failure counts only without the first's
  if (first_failure) std::rethrow_exception(first_failure);
}

// The latch an outside thread sleeps on while its job runs in the pool.
struct CallerLatch {
  explicit CallerLatch(pid_t owner_pid) : pid(owner_pid) {}

  void set() {
    std::lock_guard lock(mutex);
    is_set = true;
    // Notified under the lock: the waiter cannot return (and reuse the latch)
    // before this thread is done with it.
    changed.notify_one();
  }
  void wait_and_reset() {
    std::unique_lock lock(mutex);
    while (!is_set) changed.wait(lock);  // no early return on spurious wake-ups
    is_set = false;
  }

  const pid_t pid;
  std::mutex mutex;
  std::condition_variable changed;
  bool is_set = false;
};

CallerLatch& caller_latch() {
  thread_local std::unique_ptr<CallerLatch> latch;
  const pid_t pid = ::getpid();
  if (!latch || latch->pid != pid) {
    // In a forked child the inherited latch is abandoned, never touched.
    if (latch) (void)latch.release();
    latch = std::make_unique<CallerLatch>(pid);
  }
  return *latch;
}

struct InjectedJob : Job {
  InjectedJob(TaskRef work, CallerLatch& caller) : Job{&InjectedJob::execute}, task(work), latch(caller) {}

  static void execute(Job* base) {
    auto* self = static_cast<InjectedJob*>(base);
    try {
      self->task.invoke(self->task.object, /*migrated=*/true);
    } catch (...) {
      self->failure = std::current_exception();
    }
    self->latch.set();
  }

  TaskRef task;
  CallerLatch& latch;
  std::exception_ptr failure;
};

struct WorkerStart {
  std::shared_ptr<Registry> registry;
  std::size_t index;
};

void* worker_main(void* argument) noexcept {
  std::shared_ptr<Registry> registry;
  std::size_t index;
  {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
    registry = std::move(start->registry);
    index = start->index;
  }
  WorkerThread self(*registry, index);
  t_current_worker = &self;
  try {
    registry->mark_primed();
  } catch (...) {
    abort_from_worker();
  }
  self.wait_until(registry->terminating());
  t_current_worker = nullptr;
  return nullptr;  // the last worker to leave frees the registry
}

class ThreadAttributes {
 public:
  ThreadAttributes() {
    if (const int error = ::pthread_attr_init(&attributes_); error != 0) {
      throw PoolBuildError(PoolBuildError::Kind::kIOError, error);
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

// Starts the registry's workers one by one. On a failed start the workers
// already running are told to end and the OS error is reported.
void start_workers(const std::shared_ptr<Registry>& registry, const ThreadStarter& start_thread) {
  const auto refuse = [&](int error) {
    registry->terminate();
    throw PoolBuildError(PoolBuildError::Kind::kIOError, error);
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
  for (std::size_t index = 0; index < registry->thread_count(); ++index) {
    auto start = std::make_unique<WorkerStart>(WorkerStart{registry, index});
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
  registry->wait_until_primed(registry->thread_count());
}

}  // namespace
}  // namespace detail

// ---------------------------------------------------------------------------
// WorkerPool

using detail::Registry;
using detail::TaskRef;

std::unique_ptr<WorkerPool> WorkerPool::create(std::size_t thread_count, ThreadStarter start_thread) {
  thread_count = std::clamp<std::size_t>(thread_count, 1, kMaxThreadCount);
  try {
    auto registry = std::make_shared<Registry>(thread_count, /*runs_on_caller=*/false);
    detail::start_workers(registry, start_thread);
    return std::unique_ptr<WorkerPool>(new WorkerPool(std::move(registry)));
  } catch (const PoolBuildError& error) {
    if (error.kind() != PoolBuildError::Kind::kIOError || !is_unsupported(error.os_error()) ||
        on_worker_thread()) {
      throw;
    }
    // Threads are not available at all: the caller becomes the only worker.
    return std::unique_ptr<WorkerPool>(
        new WorkerPool(std::make_shared<Registry>(1, /*runs_on_caller=*/true)));
  }
}

WorkerPool::WorkerPool(std::shared_ptr<Registry> registry) : registry_(std::move(registry)) {
  registry_->handle = this;
}

WorkerPool::~WorkerPool() {
  registry_->handle = nullptr;
  registry_->terminate();
}

std::size_t WorkerPool::thread_count() const noexcept { return registry_->thread_count(); }
bool WorkerPool::runs_on_caller() const noexcept { return registry_->runs_on_caller(); }

void WorkerPool::run_erased(TaskRef job) {
  if (detail::current_worker_of(*registry_) != nullptr || registry_->runs_on_caller()) {
    job.invoke(job.object, false);
    return;
  }
  detail::CallerLatch& latch = detail::caller_latch();
  detail::InjectedJob injected(job, latch);
  registry_->inject(&injected);
  latch.wait_and_reset();
  if (injected.failure) std::rethrow_exception(injected.failure);
}

void WorkerPool::join_erased(TaskRef first, TaskRef second) {
  if (detail::WorkerThread* worker = detail::current_worker_of(*registry_)) {
    detail::join_on_worker(*worker, first, second, /*injected=*/false);
    return;
  }
  if (registry_->runs_on_caller()) {
    detail::join_on_caller(first, second);
    return;
  }
  auto pair = [&](bool injected) {
    detail::join_on_worker(*detail::t_current_worker, first, second, injected);
  };
  run_erased(detail::make_task_ref(pair));
}

// Recursive halving with a split budget: a piece is cut in two while its
// budget lasts (halved at each cut); a piece that was stolen by another
// thread gets its budget refilled to at least T, because a theft shows that
// some worker ran out of work. This keeps pieces few when all workers are
// busy, and splits further exactly where load is unbalanced.
void WorkerPool::process_range(detail::IndexBodyRef body, std::size_t begin, std::size_t end,
                               std::size_t split_budget, bool migrated) {
  const std::size_t length = end - begin;
  bool cut = false;
  if (length >= 2) {
    if (migrated) {
      split_budget = std::max(registry_->thread_count(), split_budget / 2);
      cut = true;
    } else if (split_budget > 0) {
      split_budget /= 2;
      cut = true;
    }
  }
  if (!cut) {
    // The first failure ends this piece; later pieces hold higher indices.
    body.invoke_range(body.object, begin, end);
    return;
  }
  const std::size_t middle = begin + length / 2;
  auto lower = [&](bool lower_migrated) { process_range(body, begin, middle, split_budget, lower_migrated); };
  auto upper = [&](bool upper_migrated) { process_range(body, middle, end, split_budget, upper_migrated); };
  join_erased(detail::make_task_ref(lower), detail::make_task_ref(upper));
}

void WorkerPool::for_each_index_erased(std::size_t n, detail::IndexBodyRef body) {
  if (n == 0) return;
  if (n == 1 || registry_->runs_on_caller()) {
    body.invoke_range(body.object, 0, n);
    return;
  }
  // The first cut happens here, on the calling thread; the two halves then
  // start in the pool as one job (or directly, when called from a worker).
  process_range(body, 0, n, registry_->thread_count(), /*migrated=*/false);
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

[[noreturn]] void fail_creation(const PoolBuildError& error) {
  fail(std::string(kPoolNotInitializedMessage) + ": " + error.description());
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
    std::unique_ptr<WorkerPool> fresh;
    try {
      fresh = WorkerPool::create(thread_count);
    } catch (const PoolBuildError& error) {
      fail_creation(error);
    }
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

bool on_worker_thread() noexcept { return detail::t_current_worker != nullptr; }

WorkerPool& global_pool() {
  if (const detail::WorkerThread* worker = detail::t_current_worker) {
    const Registry& own = worker->registry();
    if (own.handle != nullptr && own.creator_pid() == ::getpid()) return *own.handle;
  }
  ::pthread_once(&g_global_once, &create_global_pool);
  if (g_global.pool == nullptr) {
    if (std::exchange(t_ran_global_creation, false) && g_global.creation_failure) {
      try {
        std::rethrow_exception(g_global.creation_failure);
      } catch (const PoolBuildError& error) {
        fail_creation(error);
      }
    }
    fail_creation(PoolBuildError(PoolBuildError::Kind::kGlobalPoolAlreadyInitialized));
  }
  if (g_global.creator_pid == ::getpid()) return *g_global.pool;
  return pool_for_forked_child(g_global.thread_count);
}

std::size_t thread_count() { return global_pool().thread_count(); }

}  // namespace termsweep::pool

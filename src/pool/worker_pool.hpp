// The process-wide pool of worker threads that runs batch work.
//
// One pool per process, created by the first global_pool() call and never
// shut down. Work reaches it either from a worker (fork-join pairs that idle
// workers steal from) or from an outside thread, which submits one job and
// sleeps on a latch of its own until the job has ended. Failures inside work
// travel back as std::exception_ptr and are rethrown on the waiting thread.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace termsweep::pool {

// Why a pool could not be built. `description()` is the text carried by the
// internal failure, e.g.
//   ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock, message: "..." }) }
class PoolBuildError : public std::exception {
 public:
  enum class Kind { kGlobalPoolAlreadyInitialized, kCurrentThreadAlreadyInPool, kIOError };

  explicit PoolBuildError(Kind kind, int os_error = 0);

  Kind kind() const noexcept { return kind_; }
  int os_error() const noexcept { return os_error_; }  // errno value, for kIOError
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Kind kind_;
  int os_error_;
  std::string description_;
};

// The prefix of every pool-creation failure message.
inline constexpr const char* kPoolNotInitializedMessage =
    "The global thread pool has not been initialized.";

// Starts one thread the way pthread_create does and returns 0 or an errno
// value. Replaceable so that failed starts can be simulated.
using ThreadStarter =
    std::function<int(const pthread_attr_t* attributes, void* (*entry)(void*), void* argument)>;

// pthread_create, without keeping the thread handle (workers are detached).
int start_posix_thread(const pthread_attr_t* attributes, void* (*entry)(void*), void* argument);

// Stack size requested for each worker: 2 MiB, or the platform minimum when larger.
std::size_t worker_stack_size();

namespace detail {

class Registry;

// A borrowed callable taking `bool migrated`: true when it runs on another
// thread than the one that created it.
struct TaskRef {
  void* object;
  void (*invoke)(void* object, bool migrated);
};

// A borrowed per-index body, called over a whole piece [begin, end) at once
// so that the loop is compiled together with the body.
struct IndexBodyRef {
  void* object;
  void (*invoke_range)(void* object, std::size_t begin, std::size_t end);
};

template <class F>
TaskRef make_task_ref(F& callable) {
  return TaskRef{const_cast<void*>(static_cast<const void*>(&callable)),
                 [](void* object, bool migrated) {
                   F& f = *static_cast<F*>(object);
                   if constexpr (std::is_invocable_v<F&, bool>) {
                     f(migrated);
                   } else {
                     (void)migrated;
                     f();
                   }
                 }};
}

}  // namespace detail

class WorkerPool {
 public:
  // Builds a pool of `thread_count` workers (1..65535). Throws PoolBuildError
  // (kind kIOError) when a thread cannot be started; the threads already
  // started are told to end. When starting is unsupported (ENOSYS,
  // EOPNOTSUPP) and the caller is not a worker, falls back to a one-worker
  // pool that starts no thread and runs all work on the calling thread.
  static std::unique_ptr<WorkerPool> create(std::size_t thread_count,
                                            ThreadStarter start_thread = start_posix_thread);

  // Tells the workers to end once idle. The global pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // T, fixed at creation.
  std::size_t thread_count() const noexcept;
  // True for the fallback pool that runs everything on the calling thread.
  bool runs_on_caller() const noexcept;

  // Fork-join: runs `first` on this thread and offers `second` to idle
  // workers; returns once both have ended. A failure of `first` wins (and is
  // rethrown only after `second` has ended); otherwise a failure of `second`
  // is rethrown. Each callable may take `bool migrated`. Called from outside
  // the pool, the pair is first handed to a worker as one job.
  template <class First, class Second>
  void join(First&& first, Second&& second) {
    join_erased(detail::make_task_ref(first), detail::make_task_ref(second));
  }

  // Runs `job` on a worker (directly when already on one of this pool's
  // workers); an outside caller blocks until it has ended, then gets its
  // failure rethrown. The callable may take `bool migrated`. A worker of
  // another pool counts as an outside caller and blocks likewise.
  template <class Job>
  void run(Job&& job) {
    run_erased(detail::make_task_ref(job));
  }

  // Calls body(i) once for every i in [0, n). n <= 1 runs on the calling
  // thread; otherwise the range is split over the pool and the caller sleeps
  // until all is done. The range is cut into pieces processed in increasing
  // index order; a failure stops its own piece only, and the failure of the
  // lowest failing index is rethrown after every piece has ended.
  template <class Body>
  void for_each_index(std::size_t n, Body&& body) {
    using Callable = std::remove_reference_t<Body>;
    detail::IndexBodyRef ref{const_cast<void*>(static_cast<const void*>(&body)),
                             [](void* object, std::size_t begin, std::size_t end) {
                               Callable& call = *static_cast<Callable*>(object);
                               for (std::size_t index = begin; index < end; ++index) call(index);
                             }};
    for_each_index_erased(n, ref);
  }

 private:
  explicit WorkerPool(std::shared_ptr<detail::Registry> registry);

  void join_erased(detail::TaskRef first, detail::TaskRef second);
  void run_erased(detail::TaskRef job);
  void for_each_index_erased(std::size_t n, detail::IndexBodyRef body);
  void process_range(detail::IndexBodyRef body, std::size_t begin, std::size_t end,
                     std::size_t split_budget, bool migrated);

  std::shared_ptr<detail::Registry> registry_;
};

// The process-wide pool, created on the first call (sized by
// decide_thread_count()). A worker gets its own pool back. In a child made
// by fork() after creation, the child gets a fresh pool of the same size.
// Creation failure throws InternalFailure with kPoolNotInitializedMessage +
// ": " + the build error; every later call fails with the kind
// GlobalPoolAlreadyInitialized (creation is never retried).
WorkerPool& global_pool();

// global_pool().thread_count().
std::size_t thread_count();

// True on a worker thread of any pool.
bool on_worker_thread() noexcept;

}  // namespace termsweep::pool

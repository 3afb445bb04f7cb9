// The process-wide pool of worker threads that runs the batch methods.
//
// One pool per process, created by the first global_pool() call and never
// shut down. A batch is an index range: the caller publishes it and sleeps
// while the workers claim chunks of indices from an atomic counter and write
// each index's result into its own slot. Failures travel back as
// std::exception_ptr and are rethrown on the caller, the lowest index's
// failure winning.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>

namespace termsweep::pool {

// Why a pool could not be built: the facts, worded by the Python layer.
struct BuildError {
  enum class Kind { kGlobalPoolAlreadyInitialized, kIOError };
  Kind kind;
  int os_error = 0;  // errno value of the failed thread start, for kIOError
};

// Starts one thread the way pthread_create does and returns 0 or an errno
// value. Replaceable so that failed starts can be simulated.
using ThreadStarter =
    std::function<int(const pthread_attr_t* attributes, void* (*entry)(void*), void* argument)>;

// pthread_create, without keeping the thread handle (workers are detached).
int start_posix_thread(const pthread_attr_t* attributes, void* (*entry)(void*), void* argument);

// Stack size requested for each worker: 2 MiB, or the platform minimum when larger.
std::size_t worker_stack_size();

namespace detail {

// A borrowed body, called over a run of indices at once so that the loop is
// compiled together with it. `next` walks the run; at a failure it is left
// on the failing index and the failure is thrown.
struct RangeBody {
  void* object;
  void (*invoke)(void* object, std::size_t& next, std::size_t end);
};

struct Shared;

}  // namespace detail

class WorkerPool {
 public:
  // Builds a pool of `thread_count` workers (1..65535). Throws BuildError
  // (kIOError) when a thread cannot be started; the threads already started
  // are told to end. When starting threads is unsupported (ENOSYS,
  // EOPNOTSUPP), builds a one-worker pool that starts no thread and runs
  // every batch on its caller.
  static std::unique_ptr<WorkerPool> create(std::size_t thread_count,
                                            const ThreadStarter& start_thread = start_posix_thread);

  // Tells the workers to end. The global pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // T, fixed at creation.
  std::size_t thread_count() const noexcept { return thread_count_; }

  // Calls body(i) once for every i in [0, n), on the workers; n <= 1 runs on
  // the calling thread. The caller sleeps until all is done. A failure ends
  // its own chunk of indices; indices above a known failure are skipped, and
  // the failure of the lowest failing index is rethrown. Batches from several
  // callers run one after another; a body must not start a batch itself.
  template <class Body>
  void for_each_index(std::size_t n, Body&& body) {
    using Callable = std::remove_reference_t<Body>;
    run_batch(n, detail::RangeBody{const_cast<void*>(static_cast<const void*>(&body)),
                                   [](void* object, std::size_t& next, std::size_t end) {
                                     Callable& call = *static_cast<Callable*>(object);
                                     for (; next < end; ++next) call(next);
                                   }});
  }

 private:
  WorkerPool(std::size_t thread_count, std::shared_ptr<detail::Shared> shared);
  void run_batch(std::size_t n, detail::RangeBody body);

  const std::size_t thread_count_;
  std::shared_ptr<detail::Shared> shared_;  // null for a pool that runs on its caller
};

// The process-wide pool, created on the first call (sized by
// decide_thread_count()). In a child made by fork() after creation, the
// child gets a pool of its own, of the same size. Creation failure throws
// BuildError; every later call throws kGlobalPoolAlreadyInitialized
// (creation is never retried).
WorkerPool& global_pool();

}  // namespace termsweep::pool

// A process whose pool cannot be built: the first request reports the OS
// error, every later one reports that creation already happened. Runs in a
// forked child whose address space is too small for a worker stack, so that
// thread creation really fails.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "pool/worker_pool.hpp"

namespace {

using termsweep::pool::BuildError;
using termsweep::pool::global_pool;

// Current virtual size of this process, in bytes.
std::size_t virtual_size() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  }
  return 0;
}

// What one request gives: "created", or the build error's kind and OS error.
std::string outcome_of_request() {
  try {
    global_pool();
    return "created";
  } catch (const BuildError& failure) {
    const bool io = failure.kind == BuildError::Kind::kIOError;
    return (io ? "IOError " : "GlobalPoolAlreadyInitialized ") + std::to_string(failure.os_error);
  }
}

TEST(PoolGlobalFailure, FirstRequestReportsTheOsErrorLaterOnesAlreadyInitialized) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve far more address space than the limit allows";
#endif
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_ends[0]);
    ::alarm(20);
    ::setenv("RAYON_NUM_THREADS", "4", 1);
    // Room for small allocations, none for a 2 MiB stack.
    const rlimit limit{virtual_size() + 1024 * 1024, RLIM_INFINITY};
    std::string report;
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      report = "setrlimit failed";
    } else {
      const std::string first = outcome_of_request();
      const std::string second = outcome_of_request();
      report.append(first).append("\n").append(second).append("\n");
    }
    [[maybe_unused]] const ssize_t written = ::write(pipe_ends[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::string report;
  char buffer[512];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);

  EXPECT_EQ(report, "IOError " + std::to_string(EAGAIN) + "\nGlobalPoolAlreadyInitialized 0\n");
}

}  // namespace

#include "common/failure.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace termsweep {

void report_failure(const std::string& message, const std::source_location& where) {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::snprintf(name, sizeof name, "<unnamed>");
  }
  // One write, so that reports from several threads do not interleave.
  std::string report = "thread '" + std::string(name) + "' (" + std::to_string(gettid()) +
                       ") failed at " + where.file_name() + ":" + std::to_string(where.line()) +
                       ":\n" + message + "\n";
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

void fail(std::string message, std::source_location where) {
  report_failure(message, where);
  throw InternalFailure(std::move(message));
}

}  // namespace termsweep

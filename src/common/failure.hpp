// Internal failures: broken internal rules (a threshold out of range, a
// malformed saved state, ...). They stop the current operation; the Python
// layer turns them into PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace termsweep {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Reports the failure on standard error (thread, source location, message)
// at the moment it happens, then throws InternalFailure.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Writes the standard-error report of a failure without throwing.
void report_failure(const std::string& message, const std::source_location& where);

}  // namespace termsweep

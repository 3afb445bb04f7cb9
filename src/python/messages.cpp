#include "python/messages.hpp"

#include <cerrno>
#include <cstring>

namespace termsweep::python {
namespace {

// The kind an OS error code is filed under.
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

}  // namespace

std::string pool_failure_message(const pool::BuildError& error) {
  std::string kind;
  switch (error.kind) {
    case pool::BuildError::Kind::kGlobalPoolAlreadyInitialized:
      kind = "GlobalPoolAlreadyInitialized";
      break;
    case pool::BuildError::Kind::kIOError: {
      char buffer[256];
      const char* text = ::strerror_r(error.os_error, buffer, sizeof buffer);
      kind = "IOError(Os { code: " + std::to_string(error.os_error) + ", kind: " +
             os_error_kind(error.os_error) + ", message: \"" + text + "\" })";
      break;
    }
  }
  return "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: " + kind +
         " }";
}

}  // namespace termsweep::python

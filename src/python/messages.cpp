#include "python/messages.hpp"

#include <cerrno>
#include <cstring>

#include "python/errors.hpp"

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

constexpr const char kUnwrapped[] = "called `Result::unwrap()` on an `Err` value: ";

std::string state_error_description(const state::ReadError& error) {
  using Kind = state::ReadError::Kind;
  const std::string found = std::to_string(error.found);
  switch (error.kind) {
    case Kind::kShortRead:
      return "Io(Kind(UnexpectedEof))";
    case Kind::kShortBody:
      return "Io(Custom { kind: UnexpectedEof, error: \"\" })";
    case Kind::kInvalidUtf8:
      return "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + found + ", error_len: " +
             (error.error_len ? "Some(" + std::to_string(*error.error_len) + ")" : "None") + " })";
    case Kind::kInvalidBool:
      return "InvalidBoolEncoding(" + found + ")";
    case Kind::kInvalidChar:
      return "InvalidCharEncoding";
    case Kind::kInvalidTag:
      return "InvalidTagEncoding(" + found + ")";
    case Kind::kWordCount:
      return "Custom(\"Expected " + std::to_string(error.expected) + " elements, got " + found + "\")";
  }
  return {};
}

// "PyErr { type: ..., value: ..., traceback: ... }": the pending Python
// error, which it clears.
std::string pending_error_description() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
            owned_traceback = Ref::steal(traceback);
  const auto repr = [](PyObject* object) {
    return object ? text_or(Ref::steal(PyObject_Repr(object)), "<unprintable>") : std::string("None");
  };
  return "PyErr { type: " + repr(type) + ", value: " + repr(value) + ", traceback: " + repr(traceback) +
         " }";
}

}  // namespace

std::string state_failure_message(const state::ReadError& error) {
  return kUnwrapped + state_error_description(error);
}

std::string unmade_result_message() { return kUnwrapped + pending_error_description(); }

std::string unset_dict_item_message() {
  return "Failed to set_item on dict: " + pending_error_description();
}

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

// Failures inside the module and their translation at the call boundary.
//
// Two kinds travel as C++ exceptions:
// - PythonError: an expected error with a Python exception (a bad argument, an
//   exception raised by Python code the module called);
// - termsweep::InternalFailure: a broken internal rule; it becomes
//   PanicException when it reaches the boundary.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "engine/interrupt.hpp"
#include "python/ref.hpp"

namespace termsweep::python {

class PythonError {
 public:
  // An error built lazily from an exception type and a message.
  PythonError(PyObject* type, std::string message)
      : type_(Ref::borrow(type)), message_(std::move(message)) {}

  // Takes the interpreter's pending exception after a failed API call. A
  // PanicException that comes back through Python code resumes the internal
  // failure instead (throws InternalFailure).
  [[noreturn]] static void fetch_and_throw();

  // The same error, reworded "argument '<name>': ..." when it is exactly a
  // TypeError.
  PythonError with_argument_name(const char* name) &&;

  // Hands the exception to the interpreter (sets it as the current one).
  void restore() &&;

 private:
  PythonError() = default;
  Ref type_;
  Ref value_;  // null while the error is still lazy
  Ref traceback_;
  std::string message_;
};

[[noreturn]] inline void throw_type_error(std::string message) {
  throw PythonError(PyExc_TypeError, std::move(message));
}

// "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(PyObject* object, std::string_view target);

// The UTF-8 text of `text`, the result of a call that may have failed (null,
// or not a str); `fallback` when there is none or it cannot be encoded. Any
// error it meets is cleared.
std::string text_or(Ref text, std::string_view fallback);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// Sets PanicException(message) as the current exception; creates the type on
// first use. A failure here cannot be reported and ends the process.
void raise_panic(const std::string& message);

// Raises an internal failure for an interpreter call that failed while a
// result object was being built, after printing the pending Python error.
[[noreturn]] void fail_python_api_call();

// Runs `body` and translates every failure into a set Python exception;
// returns `on_error` then. Nothing escapes into the interpreter.
template <class Result, class Body>
Result guard(Result on_error, Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (PythonError& error) {
      std::move(error).restore();
    } catch (const Interrupted&) {
      // A signal handler raised (KeyboardInterrupt): its exception is set.
    } catch (const InternalFailure& failure) {
      raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& unexpected) {
      raise_panic(unexpected.what());
    } catch (...) {
      raise_panic("internal failure without a message");
    }
  } catch (...) {
    // Translation itself failed.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  return on_error;
}

// For deallocation: failures are reported as unraisable and swallowed.
template <class Body>
void guard_unraisable(Body&& body) noexcept {
  int unused = guard(-1, [&] {
    body();
    return 0;
  });
  if (unused < 0) PyErr_WriteUnraisable(nullptr);
}

}  // namespace termsweep::python

#include "python/errors.hpp"

#include <cstdio>

namespace termsweep::python {
namespace {

PyObject* panic_exception_type = nullptr;

constexpr const char kPanicDoc[] =
    "\nThe exception raised when the extension's internal code fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* panic_type() {
  if (!panic_exception_type) {
    panic_exception_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                     PyExc_BaseException, nullptr);
    if (!panic_exception_type) {
      PyErr_Clear();
      fail("Failed to initialize new exception type.");
    }
  }
  return panic_exception_type;
}

}  // namespace

std::string text_or(Ref text, std::string_view fallback) {
  Py_ssize_t size = 0;
  const char* utf8 =
      text && PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return std::string(fallback);
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name_of(PyObject* object) {
  return text_or(Ref::steal(PyType_GetQualName(Py_TYPE(object))), "<failed to extract type name>");
}

void throw_conversion_error(PyObject* object, std::string_view target) {
  throw_type_error("'" + type_name_of(object) + "' object cannot be converted to '" +
                   std::string(target) + "'");
}

void PythonError::fetch_and_throw() {
  PythonError error;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    throw PythonError(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  if (panic_exception_type && error.type_.get() == panic_exception_type) {
    // An internal failure that went out through Python code and came back.
    std::string message =
        text_or(Ref::steal(PyObject_Str(error.value_.get())), "Unwrapped panic from Python code");
    std::fputs(
        "--- termsweep: resuming an internal failure after PanicException was fetched from "
        "Python ---\nPython stack trace below:\n",
        stderr);
    PyErr_Restore(error.type_.release(), error.value_.release(), error.traceback_.release());
    PyErr_PrintEx(0);
    throw InternalFailure(std::move(message));
  }
  throw error;
}

PythonError PythonError::with_argument_name(const char* name) && {
  if (type_.get() != PyExc_TypeError) return std::move(*this);
  std::string message = value_ ? text_or(Ref::steal(PyObject_Str(value_.get())), "") : message_;
  PythonError reworded(PyExc_TypeError, "argument '" + std::string(name) + "': " + message);
  if (value_) {
    // The new error takes over the cause of the one it replaces.
    if (Ref cause = Ref::steal(PyException_GetCause(value_.get()))) {
      Ref text = Ref::steal(PyUnicode_FromStringAndSize(
          reworded.message_.data(), static_cast<Py_ssize_t>(reworded.message_.size())));
      Ref exception = text ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get())) : Ref();
      if (!exception) fetch_and_throw();
      PyException_SetCause(exception.get(), cause.release());
      reworded.value_ = std::move(exception);
    }
  }
  return reworded;
}

void PythonError::restore() && {
  if (value_) {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
  if (!text) return;  // the interpreter's own error (MemoryError) stays set
  PyErr_SetObject(type_.get(), text.get());
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_type();
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("internal failure (message not representable)"));
  }
  PyErr_SetObject(type, text.get());
}

void fail_python_api_call() {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  fail("Python API call failed");
}

}  // namespace termsweep::python

#include "python/convert.hpp"

#include <algorithm>
#include <cstring>

#include "engine/utf8.hpp"

namespace termsweep::python {
namespace {

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  const char* name = std::strrchr(type->tp_name, '.');
  name = name ? name + 1 : type->tp_name;
  if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

// Texts are reserved up to this many items from a length hint; beyond it the
// list grows as items arrive, so a lying __len__ cannot exhaust memory.
constexpr std::size_t kMaxReservedItems = std::size_t{1} << 20;

}  // namespace

std::string_view to_utf8(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) PythonError::fetch_and_throw();
  return {data, static_cast<std::size_t>(size)};
}

bool to_flag(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (is_numpy_bool(object)) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) PythonError::fetch_and_throw();
    return truth != 0;
  }
  throw_conversion_error(object, "PyBool");
}

float to_float32(PyObject* object) {
  double value;
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
  } else {
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) PythonError::fetch_and_throw();
  }
  return static_cast<float>(value);  // nearest, ties to even; overflow gives infinity
}

std::uint64_t to_uint64(PyObject* object) {
  Ref index = PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
  if (!index) PythonError::fetch_and_throw();
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PythonError::fetch_and_throw();
  }
  return value;
}

std::uint32_t to_code_point(PyObject* object) {
  const std::string_view utf8 = to_utf8(object);
  const Utf8Decoded decoded = decode_utf8(utf8);
  if (utf8.empty() || decoded.length != utf8.size()) {
    throw PythonError(PyExc_ValueError, "expected a string of length 1");
  }
  return decoded.code_point;
}

std::string_view to_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) throw_conversion_error(object, "PyBytes");
  return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

std::size_t sequence_reserve_hint(PyObject* sequence) {
  if (PyUnicode_Check(sequence)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(sequence)) throw_conversion_error(sequence, "Sequence");
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<std::size_t>(size), kMaxReservedItems);
}

namespace {

// A result object that the interpreter made, or an internal failure.
Ref made(PyObject* object) {
  if (!object) fail_python_api_call();
  return Ref::steal(object);
}

}  // namespace

Ref new_str(std::string_view utf8) {
  return made(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref new_float(double value) { return made(PyFloat_FromDouble(value)); }

Ref new_uint(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }

Ref new_bytes(std::string_view bytes) {
  return made(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Ref new_list(Py_ssize_t size) { return made(PyList_New(size)); }

}  // namespace termsweep::python

// Conversions between Python objects and the engine's values. Conversions
// throw PythonError; the caller names the argument (see convert_argument).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/errors.hpp"

namespace termsweep::python {

// The UTF-8 form of a str (or subclass); valid while the object lives.
std::string_view to_utf8(PyObject* object);
// True, False or a numpy boolean (None never gets here: it means absent).
bool to_flag(PyObject* object);
// Through the interpreter's float conversion, narrowed to 32 bits.
float to_float32(PyObject* object);
// An int, or anything with __index__, as an unsigned 64-bit integer.
std::uint64_t to_uint64(PyObject* object);
// A str holding exactly one code point.
std::uint32_t to_code_point(PyObject* object);
// A bytes object (or subclass); valid while the object lives.
std::string_view to_bytes(PyObject* object);

// Converts the items of a sequence argument with `convert_item`: a str is
// refused as a whole, so is anything that fails the sequence check; the
// items are taken by iteration, not by index.
template <class T, class ConvertItem>
std::vector<T> convert_sequence(PyObject* sequence, ConvertItem&& convert_item);

// Runs one conversion of the value of argument `name`, rewording a TypeError
// as "argument '<name>': <message>".
template <class Convert>
auto convert_named(const char* name, PyObject* value, Convert&& convert) {
  try {
    return convert(value);
  } catch (PythonError& error) {
    throw std::move(error).with_argument_name(name);
  }
}

template <std::size_t N, class Convert>
auto convert_argument(const BoundArguments<N>& args, std::size_t i, Convert&& convert) {
  return convert_named(args.name(i), args[i], convert);
}

// Optional parameters: nothing when absent.
template <std::size_t N, class Convert>
auto convert_optional(const BoundArguments<N>& args, std::size_t i, Convert&& convert)
    -> std::optional<decltype(convert(args[i]))> {
  if (!args.present(i)) return std::nullopt;
  return convert_argument(args, i, convert);
}

// Result objects. A failure to create one is an internal failure.
Ref new_str(std::string_view utf8);
Ref new_float(double value);
Ref new_uint(std::uint64_t value);
Ref new_list(Py_ssize_t size);
Ref new_bytes(std::string_view bytes);

// ---- implementation of the template above ----

// Refuses a str and non-sequences; otherwise how many items to reserve.
std::size_t sequence_reserve_hint(PyObject* sequence);

template <class T, class ConvertItem>
std::vector<T> convert_sequence(PyObject* sequence, ConvertItem&& convert_item) {
  std::vector<T> items;
  items.reserve(sequence_reserve_hint(sequence));
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) PythonError::fetch_and_throw();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    items.push_back(convert_item(item.get()));
  }
  if (PyErr_Occurred()) PythonError::fetch_and_throw();
  return items;
}

}  // namespace termsweep::python

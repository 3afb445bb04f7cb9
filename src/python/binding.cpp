#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace termsweep::python {
namespace {

// "KeywordProcessor.add_keyword()", as binding messages name the function;
// spelled out only when a message is made.
std::string function_name(const ParameterList& parameters) {
  return std::string(parameters.owner) + "." + parameters.method + "()";
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

// The positional arguments: refused when there are too many.
void bind_positional(const ParameterList& parameters, PyObject* const* positional,
                     std::size_t given, PyObject** out) {
  const std::size_t count = parameters.names.size();
  if (given > count) {
    const std::string range = parameters.required == count
                                  ? std::to_string(count)
                                  : "from " + std::to_string(parameters.required) + " to " +
                                        std::to_string(count);
    throw_type_error(function_name(parameters) + " takes " + range + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = i < given ? positional[i] : nullptr;
}

void bind_keyword(const ParameterList& parameters, PyObject* name, PyObject* value, PyObject** out) {
  const std::size_t count = parameters.names.size();
  std::size_t index = 0;
  while (index < count && !(PyUnicode_Check(name) &&
                            PyUnicode_CompareWithASCIIString(name, parameters.names[index]) == 0)) {
    ++index;
  }
  if (index == count) {
    throw_type_error(function_name(parameters) + " got an unexpected keyword argument '" +
                     text_or(Ref::borrow(name), "?") + "'");
  }
  if (out[index]) {
    throw_type_error(function_name(parameters) + " got multiple values for argument '" +
                     parameters.names[index] + "'");
  }
  out[index] = value;
}

// After the keywords: every required parameter must be there; None for an
// optional one means it is absent.
void finish(const ParameterList& parameters, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (!out[i]) missing.push_back(parameters.names[i]);
  }
  if (!missing.empty()) {
    throw_type_error(function_name(parameters) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + quoted_list(missing));
  }
  for (std::size_t i = parameters.required; i < parameters.names.size(); ++i) {
    if (out[i] == Py_None) out[i] = nullptr;
  }
}

}  // namespace

void bind_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
  const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  bind_positional(parameters, args, given, out);
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    bind_keyword(parameters, PyTuple_GET_ITEM(kwnames, i), args[given + static_cast<std::size_t>(i)],
                 out);
  }
  finish(parameters, out);
}

void bind_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
  bind_positional(parameters, &PyTuple_GET_ITEM(args, 0),
                  static_cast<std::size_t>(PyTuple_GET_SIZE(args)), out);
  PyObject *name, *value;
  Py_ssize_t position = 0;
  while (kwargs && PyDict_Next(kwargs, &position, &name, &value)) {
    bind_keyword(parameters, name, value, out);
  }
  finish(parameters, out);
}

}  // namespace termsweep::python

#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace termsweep::python {
namespace {

struct KeywordArgument {
  PyObject* name;
  PyObject* value;
};

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

void bind(const Signature& signature, PyObject* const* positional, std::size_t given,
          const std::vector<KeywordArgument>& keywords, PyObject** out) {
  const std::string function = signature.function;
  const std::size_t count = signature.parameters.size();
  const char* const* names = signature.parameters.begin();

  if (given > count) {
    std::string range = signature.required == count
                            ? std::to_string(count)
                            : "from " + std::to_string(signature.required) + " to " +
                                  std::to_string(count);
    throw_type_error(function + " takes " + range + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = i < given ? positional[i] : nullptr;

  for (const KeywordArgument& keyword : keywords) {
    std::size_t index = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_Check(keyword.name) && PyUnicode_CompareWithASCIIString(keyword.name, names[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == count) {
      throw_type_error(function + " got an unexpected keyword argument '" + text_or(Ref::borrow(keyword.name), "?") +
                       "'");
    }
    if (out[index]) {
      throw_type_error(function + " got multiple values for argument '" + names[index] + "'");
    }
    out[index] = keyword.value;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    throw_type_error(function + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + quoted_list(missing));
  }
  // None for an optional parameter means the parameter is absent.
  for (std::size_t i = signature.required; i < count; ++i) {
    if (out[i] == Py_None) out[i] = nullptr;
  }
}

}  // namespace

void bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
  const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  std::vector<KeywordArgument> keywords;
  if (kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    keywords.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[given + static_cast<std::size_t>(i)]});
    }
  }
  bind(signature, args, given, keywords, out);
}

void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
  std::vector<KeywordArgument> keywords;
  if (kwargs) {
    PyObject *name, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &name, &value)) keywords.push_back({name, value});
  }
  bind(signature, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
       keywords, out);
}

}  // namespace termsweep::python

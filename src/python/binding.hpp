// Argument binding: one binder for every method and constructor, driven by a
// table of parameter names per function.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "python/ref.hpp"

namespace termsweep::python {

// The parameters of one Python-callable function. Every parameter can be
// given by position or by keyword; the first `required` are required.
struct Signature {
  const char* function;  // as named in messages: "KeywordProcessor.add_keyword()"
  std::initializer_list<const char*> parameters;
  std::size_t required;
};

// Bound values, borrowed from the call; null for an absent parameter. None
// given for an optional parameter counts as absent.
template <std::size_t N>
struct BoundArguments {
  const Signature* signature;
  std::array<PyObject*, N> values{};

  PyObject* operator[](std::size_t i) const { return values[i]; }
  const char* name(std::size_t i) const { return signature->parameters.begin()[i]; }
  bool present(std::size_t i) const { return values[i] != nullptr; }
};

// Binds a vectorcall (positional arguments followed by the values of the
// keyword names in `kwnames`) into `out`, which has one slot per parameter.
// Throws PythonError(TypeError) with the binding messages.
void bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

// Binds a classic call (a tuple and an optional dict).
void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
BoundArguments<N> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  BoundArguments<N> bound{&signature};
  bind_vectorcall(signature, args, nargs, kwnames, bound.values.data());
  return bound;
}

template <std::size_t N>
BoundArguments<N> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
  BoundArguments<N> bound{&signature};
  bind_tuple_dict(signature, args, kwargs, bound.values.data());
  return bound;
}

}  // namespace termsweep::python

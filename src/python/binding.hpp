// Argument binding: one binder for every method and constructor, driven by
// one Signature per function. The Signature is the only place a function's
// parameters are written: the number of bound slots is its size, and the
// text signature in the docstring is spelled from it at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "python/ref.hpp"

namespace termsweep::python {

// The parameters of one Python-callable function. Every parameter can be
// given by position or by keyword; the first `required` are required, the
// others default to `default_text`.
template <std::size_t N>
struct Signature {
  const char* owner;   // the class: "KeywordProcessor"
  const char* method;  // "add_keyword", or "__new__" for the constructor
  const char* parameters[N];
  std::size_t required;
  const char* default_text = "None";

  // The docstring: "add_keyword($self, keyword, clean_name=None)\n--\n\n" for
  // a method, "KeywordProcessor(case_sensitive=False, ...)\n--\n\n" for the
  // constructor. Writes it at `out` unless null; returns its length.
  constexpr std::size_t write_docstring(char* out) const {
    std::size_t n = 0;
    const auto put = [&](const char* text) {
      for (; *text != '\0'; ++text, ++n) {
        if (out) out[n] = *text;
      }
    };
    const bool constructor = std::string_view(method) == "__new__";
    put(constructor ? owner : method);
    put(constructor ? "(" : "($self");
    for (std::size_t i = 0; i < N; ++i) {
      if (i > 0 || !constructor) put(", ");
      put(parameters[i]);
      if (i >= required) {
        put("=");
        put(default_text);
      }
    }
    put(")\n--\n\n");
    return n;
  }
};

// The docstring of `signature`, built once at compile time.
template <const auto& signature>
inline constexpr auto kDocstring = [] {
  std::array<char, signature.write_docstring(nullptr) + 1> text{};
  signature.write_docstring(text.data());
  return text;
}();

// What the binder needs of a signature, without its size.
struct ParameterList {
  const char* owner;
  const char* method;
  std::span<const char* const> names;
  std::size_t required;
};

// Bound values, borrowed from the call; null for an absent parameter. None
// given for an optional parameter counts as absent.
template <std::size_t N>
struct BoundArguments {
  const Signature<N>* signature;
  std::array<PyObject*, N> values{};

  PyObject* operator[](std::size_t i) const { return values[i]; }
  const char* name(std::size_t i) const { return signature->parameters[i]; }
  bool present(std::size_t i) const { return values[i] != nullptr; }
};

// Binds a vectorcall (positional arguments followed by the values of the
// keyword names in `kwnames`) into `out`, which has one slot per parameter.
// Throws PythonError(TypeError) with the binding messages.
void bind_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

// Binds a classic call (a tuple and an optional dict).
void bind_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                     PyObject** out);

template <std::size_t N>
ParameterList parameter_list(const Signature<N>& signature) {
  return {signature.owner, signature.method, signature.parameters, signature.required};
}

template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  BoundArguments<N> bound{&signature};
  bind_vectorcall(parameter_list(signature), args, nargs, kwnames, bound.values.data());
  return bound;
}

template <std::size_t N>
BoundArguments<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  BoundArguments<N> bound{&signature};
  bind_tuple_dict(parameter_list(signature), args, kwargs, bound.values.data());
  return bound;
}

}  // namespace termsweep::python

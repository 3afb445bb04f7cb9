// The layout of the module's Python objects and the entry template that every
// method, getter and setter goes through: bind, check the receiver, borrow,
// run, translate failures.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include "engine/keyword_processor.hpp"
#include "python/binding.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace termsweep::python {

// A Python object holding one engine value inline, with its borrow flag.
template <class Payload>
struct ModuleObject {
  PyObject ob_base;
  BorrowFlag borrow;
  alignas(Payload) unsigned char storage[sizeof(Payload)];

  Payload& payload() noexcept { return *std::launder(reinterpret_cast<Payload*>(storage)); }
};

// The processor class's objects, and the match class's.
using PyKeywordProcessor = ModuleObject<KeywordProcessor>;
using PyKeywordMatch = ModuleObject<MatchValue>;

// The type object and Python name of the class that holds `Payload`.
template <class Payload>
struct PythonClass;

template <>
struct PythonClass<KeywordProcessor> {
  static constexpr const char* name = "KeywordProcessor";
  static inline PyTypeObject* type = nullptr;
};

template <>
struct PythonClass<MatchValue> {
  static constexpr const char* name = "PyKeywordMatch";
  static inline PyTypeObject* type = nullptr;
};

template <class Payload>
ModuleObject<Payload>& receiver(PyObject* self) {
  if (!self || !PyObject_TypeCheck(self, PythonClass<Payload>::type)) {
    throw_conversion_error(self ? self : Py_None, PythonClass<Payload>::name);
  }
  return *reinterpret_cast<ModuleObject<Payload>*>(self);
}

// Runs `body(payload)` under the borrow that `access` asks for.
template <class Payload, Access access, class Body>
auto with_borrow(PyObject* self, Body&& body) {
  ModuleObject<Payload>& object = receiver<Payload>(self);
  if constexpr (access == Access::Shared) {
    SharedBorrow borrow(object.borrow);
    return body(object.payload());
  } else {
    ExclusiveBorrow borrow(object.borrow);
    return body(object.payload());
  }
}

// A method with parameters (fast calling form).
template <class Payload, Access access, std::size_t N, class Body>
PyObject* call_method(const Signature& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const BoundArguments<N> bound = bind<N>(signature, args, nargs, kwnames);
    return with_borrow<Payload, access>(self, [&](Payload& payload) {
      return body(payload, bound).release();
    });
  });
}

// A method without parameters.
template <class Payload, class Body>
PyObject* call_method_noargs(PyObject* self, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    return with_borrow<Payload, Access::Shared>(
        self, [&](Payload& payload) { return body(payload).release(); });
  });
}

// Releases the payload and the object itself.
template <class Payload>
void deallocate(PyObject* self) noexcept {
  guard_unraisable([&] { reinterpret_cast<ModuleObject<Payload>*>(self)->payload().~Payload(); });
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Allocates an instance and constructs its payload from `args`; a null
// reference, with the interpreter's error set, when allocation fails.
template <class Payload, class... Args>
Ref try_allocate(PyTypeObject* type, Args&&... args) noexcept {
  // Nothing may fail once the object exists, or its deallocation would
  // destroy a payload that was never built.
  static_assert(std::is_nothrow_constructible_v<Payload, Args&&...>);
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  Ref object = Ref::steal(alloc(type, 0));
  if (object) {
    auto* instance = reinterpret_cast<ModuleObject<Payload>*>(object.get());
    instance->borrow = 0;
    new (instance->storage) Payload(std::forward<Args>(args)...);
  }
  return object;
}

template <class Payload, class... Args>
Ref allocate(PyTypeObject* type, Args&&... args) {
  Ref object = try_allocate<Payload>(type, std::forward<Args>(args)...);
  if (!object) PythonError::fetch_and_throw();
  return object;
}

// Method table entries; the docstring carries the text signature.
#define FAST_METHOD(name, function, signature)                                        \
  {                                                                                   \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),      \
        METH_FASTCALL | METH_KEYWORDS, name signature "\n--\n\n"                      \
  }
#define NOARGS_METHOD(name, function) \
  { name, function, METH_NOARGS, name "($self)\n--\n\n" }

// Registers a heap type from its slot table.
PyTypeObject* create_type(PyType_Spec& type_spec);

PyTypeObject* keyword_processor_type();
PyTypeObject* keyword_match_type();

// A new match object for an engine value (used by extraction and batches).
Ref new_match_object(MatchValue value);

}  // namespace termsweep::python

// The layout of the module's Python objects and the entry template that every
// method, getter and setter goes through: bind, check the receiver, borrow,
// run, translate failures.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

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

// One Python str per clean name of a processor, made on first use and
// shared by every match that carries the name. An entry is forgotten when its
// keyword changes.
class NameCache {
 public:
  NameCache() noexcept = default;
  ~NameCache() { clear(); }
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;

  // A new reference to the str of name `id`.
  Ref get(const KeywordProcessor& processor, NameId id);
  void forget(NameId id) noexcept {
    if (id < strings_.size()) Py_CLEAR(strings_[id]);
  }
  void clear() noexcept;

 private:
  std::vector<PyObject*> strings_;
};

// What a KeywordProcessor object holds.
struct ProcessorState {
  ProcessorState(bool case_sensitive, bool allow_overlaps) : engine(case_sensitive, allow_overlaps) {}
  KeywordProcessor engine;
  NameCache names;
};

// What a PyKeywordMatch object holds; the keyword is a str, often shared with
// a processor's cache and with other matches.
struct MatchState {
  Ref keyword;
  float similarity = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// The processor class's objects, and the match class's.
using PyKeywordProcessor = ModuleObject<ProcessorState>;
using PyKeywordMatch = ModuleObject<MatchState>;

// The type object and Python name of the class that holds `Payload`.
template <class Payload>
struct PythonClass;

template <>
struct PythonClass<ProcessorState> {
  static constexpr const char* name = "KeywordProcessor";
  static inline PyTypeObject* type = nullptr;
};

template <>
struct PythonClass<MatchState> {
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
PyObject* call_method(const Signature<N>& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const BoundArguments<N> bound = bind(signature, args, nargs, kwnames);
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
// reference, with the interpreter's error set, when the object cannot be
// allocated. When the payload's constructor throws, the bare object is freed
// without running the deallocator (which would destroy a payload that was
// never built) and the exception goes on.
template <class Payload, class... Args>
Ref try_allocate(PyTypeObject* type, Args&&... args) {
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (!object) return Ref();
  auto* instance = reinterpret_cast<ModuleObject<Payload>*>(object);
  instance->borrow = 0;
  try {
    new (instance->storage) Payload(std::forward<Args>(args)...);
  } catch (...) {
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to their type
    throw;
  }
  return Ref::steal(object);
}

template <class Payload, class... Args>
Ref allocate(PyTypeObject* type, Args&&... args) {
  Ref object = try_allocate<Payload>(type, std::forward<Args>(args)...);
  if (!object) PythonError::fetch_and_throw();
  return object;
}

// Method table entries; the docstring carries the text signature.
template <const auto& signature>
constexpr PyMethodDef fast_method(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t,
                                                        PyObject*)) {
  return {signature.method, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, kDocstring<signature>.data()};
}
#define NOARGS_METHOD(name, function) \
  { name, function, METH_NOARGS, name "($self)\n--\n\n" }

// Registers a heap type from its slot table.
PyTypeObject* create_type(PyType_Spec& type_spec);

PyTypeObject* keyword_processor_type();
PyTypeObject* keyword_match_type();

// A new match object (used by extraction and batches).
Ref new_match_object(MatchState value);

}  // namespace termsweep::python

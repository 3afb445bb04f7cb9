// The PyKeywordMatch class: a small value record owning its four values.
#include <cmath>
#include <cstdio>
#include <string>

#include "python/convert.hpp"
#include "python/messages.hpp"
#include "python/objects.hpp"
#include "state/state_format.hpp"

namespace termsweep::python {
namespace {

constexpr Signature kNew{"PyKeywordMatch", "__new__", {"keyword", "similarity", "start", "end"}, 4};
constexpr Signature kSetState{"PyKeywordMatch", "__setstate__", {"state"}, 1};

// A keyword as the match keeps it: a plain str that can be encoded as UTF-8
// (an instance of a str subclass is copied into a plain str).
Ref keyword_str(PyObject* object) {
  const std::string_view utf8 = to_utf8(object);
  return PyUnicode_CheckExact(object) ? Ref::borrow(object) : new_str(utf8);
}

// The four attributes: name, reading and conversion of a written value.
struct KeywordField {
  static constexpr const char* name = "keyword";
  static Ref get(const MatchState& m) { return Ref::borrow(m.keyword.get()); }
  static void set(MatchState& m, PyObject* value) { m.keyword = convert_named(name, value, keyword_str); }
};
struct SimilarityField {
  static constexpr const char* name = "similarity";
  static Ref get(const MatchState& m) { return new_float(static_cast<double>(m.similarity)); }
  static void set(MatchState& m, PyObject* value) { m.similarity = convert_named(name, value, to_float32); }
};
struct StartField {
  static constexpr const char* name = "start";
  static Ref get(const MatchState& m) { return new_uint(m.start); }
  static void set(MatchState& m, PyObject* value) { m.start = convert_named(name, value, to_uint64); }
};
struct EndField {
  static constexpr const char* name = "end";
  static Ref get(const MatchState& m) { return new_uint(m.end); }
  static void set(MatchState& m, PyObject* value) { m.end = convert_named(name, value, to_uint64); }
};

template <class Field>
PyObject* get_field(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&] {
    return with_borrow<MatchState, Access::Shared>(
        self, [](MatchState& m) { return Field::get(m).release(); });
  });
}

template <class Field>
int set_field(PyObject* self, PyObject* value, void*) {
  return guard<int>(-1, [&] {
    if (!value) throw PythonError(PyExc_AttributeError, "can't delete attribute");
    return with_borrow<MatchState, Access::Exclusive>(self, [&](MatchState& m) {
      // Each setter converts before it assigns: a failed write changes nothing.
      Field::set(m, value);
      return 0;
    });
  });
}

// Two decimals from the exact binary value, ties to even; plain decimal
// however large.
std::string format_similarity(float similarity) {
  if (std::isnan(similarity)) return "NaN";
  if (std::isinf(similarity)) return similarity > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(similarity));
  return buffer;
}

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&] {
    const BoundArguments<4> bound = bind(kNew, args, kwargs);
    MatchState value;
    value.keyword = convert_argument(bound, 0, keyword_str);
    value.similarity = convert_argument(bound, 1, to_float32);
    value.start = convert_argument(bound, 2, to_uint64);
    value.end = convert_argument(bound, 3, to_uint64);
    return allocate<MatchState>(type, std::move(value)).release();
  });
}

PyObject* match_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    return with_borrow<MatchState, Access::Shared>(self, [](MatchState& m) {
      return new_str("KeywordMatch(keyword='" + std::string(to_utf8(m.keyword.get())) +
                     "', similarity=" + format_similarity(m.similarity) +
                     ", start=" + std::to_string(m.start) + ", end=" + std::to_string(m.end) + ")")
          .release();
    });
  });
}

// Extraction makes and drops match objects by the hundred thousand, so
// dropped ones (up to a limit) are kept, still allocated, to be made new again
// without a trip through the allocator. A kept object holds no references;
// the first word of its payload links it to the next one.
class SpareMatches {
 public:
  PyObject* take() noexcept {
    PyObject* object = head_;
    if (object) {
      head_ = link(object);
      --count_;
    }
    return object;
  }
  bool keep(PyObject* object) noexcept {
    if (count_ == kLimit) return false;
    link(object) = head_;
    head_ = object;
    ++count_;
    return true;
  }

 private:
  static constexpr std::size_t kLimit = 4096;
  static PyObject*& link(PyObject* object) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<PyKeywordMatch*>(object)->storage);
  }
  PyObject* head_ = nullptr;
  std::size_t count_ = 0;
};

SpareMatches spare_matches;

void match_dealloc(PyObject* self) {
  reinterpret_cast<PyKeywordMatch*>(self)->payload().~MatchState();
  PyTypeObject* type = Py_TYPE(self);
  if (type != PythonClass<MatchState>::type || !spare_matches.keep(self)) type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* get_state(PyObject* self, PyObject*) {
  return call_method_noargs<MatchState>(self, [](MatchState& m) {
    return new_bytes(state::write_match_state(
        {std::string(to_utf8(m.keyword.get())), m.similarity, m.start, m.end}));
  });
}

PyObject* set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<MatchState, Access::Exclusive>(
      kSetState, self, args, nargs, kwnames, [](MatchState& m, const auto& bound) {
        const std::string_view state = convert_argument(bound, 0, to_bytes);
        state::ReadError error;
        const std::optional<MatchValue> read = state::read_match_state(state, error);
        if (!read) fail(state_failure_message(error));
        m = {new_str(read->keyword), read->similarity, read->start, read->end};
        return Ref::borrow(Py_None);
      });
}

PyObject* get_newargs(PyObject* self, PyObject*) {
  return call_method_noargs<MatchState>(self, [](MatchState& m) {
    Ref items[] = {KeywordField::get(m), SimilarityField::get(m), StartField::get(m),
                   EndField::get(m)};
    Ref tuple = Ref::steal(PyTuple_New(4));
    if (!tuple) fail_python_api_call();
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    return tuple;
  });
}

PyMethodDef match_methods[] = {
    fast_method<kSetState>(set_state),
    NOARGS_METHOD("__getstate__", get_state),
    NOARGS_METHOD("__getnewargs__", get_newargs),
    {nullptr, nullptr, 0, nullptr},
};

#define FIELD(Field) \
  {Field::name, get_field<Field>, set_field<Field>, nullptr, nullptr}

PyGetSetDef match_getset[] = {
    FIELD(KeywordField), FIELD(SimilarityField), FIELD(StartField), FIELD(EndField),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDocstring<kNew>.data())},
    {Py_tp_new, reinterpret_cast<void*>(match_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_methods, match_methods},
    {Py_tp_getset, match_getset},
    {0, nullptr},
};

PyType_Spec match_spec{"termsweep.PyKeywordMatch", sizeof(PyKeywordMatch), 0, Py_TPFLAGS_DEFAULT,
                       match_slots};

}  // namespace

PyTypeObject* keyword_match_type() {
  if (!PythonClass<MatchState>::type) PythonClass<MatchState>::type = create_type(match_spec);
  return PythonClass<MatchState>::type;
}

// The interpreter's small-object allocator hands out blocks by size class, and
// a list object takes a 64-byte block, as a bare match would. Results are lists
// of matches: sharing the class would interleave the lists with their matches,
// and the cyclic collector, which walks every list, would touch several times
// the memory (three times the collection time on a million matches). Matches
// take the next class up.
constexpr std::size_t kMatchBlock = 80;
static_assert(sizeof(PyKeywordMatch) <= kMatchBlock);

Ref new_match_object(MatchState value) {
  PyTypeObject* type = keyword_match_type();
  PyObject* object = spare_matches.take();
  if (!object) object = static_cast<PyObject*>(PyObject_Malloc(kMatchBlock));
  if (!object) {
    PyErr_NoMemory();
    fail(unmade_result_message());
  }
  PyObject_Init(object, type);
  auto* match = reinterpret_cast<PyKeywordMatch*>(object);
  match->borrow = 0;
  new (match->storage) MatchState(std::move(value));
  return Ref::steal(object);
}

}  // namespace termsweep::python

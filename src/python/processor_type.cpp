// The KeywordProcessor class.
#include <algorithm>
#include <string>
#include <vector>

#include "pool/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"
#include "python/objects.hpp"
#include "state/state_format.hpp"

namespace termsweep::python {
namespace {

using Processor = ProcessorState;

// Lets Ctrl-C stop a long single-text call: the interpreter runs its signal
// handlers, and the KeyboardInterrupt they raise ends the scan.
const Interrupt kPendingSignals{[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};

constexpr const char* kClass = "KeywordProcessor";
constexpr Signature kNew{kClass, "__new__", {"case_sensitive", "allow_overlaps"}, 0, "False"};
constexpr Signature kAddKeyword{kClass, "add_keyword", {"keyword", "clean_name"}, 1};
constexpr Signature kRemoveKeyword{kClass, "remove_keyword", {"keyword"}, 1};
constexpr Signature kExtractKeywords{kClass, "extract_keywords", {"text", "threshold"}, 1};
constexpr Signature kParallelExtract{kClass, "parallel_extract_keywords_from_texts",
                                     {"texts", "threshold"}, 1};
constexpr Signature kReplaceKeywords{kClass, "replace_keywords", {"text", "threshold"}, 1};
constexpr Signature kParallelReplace{kClass, "parallel_replace_keywords_from_texts",
                                     {"texts", "threshold"}, 1};
constexpr Signature kSetBoundaries{kClass, "set_non_word_boundaries", {"boundaries"}, 1};
constexpr Signature kAddBoundary{kClass, "add_non_word_boundary", {"boundary"}, 1};
constexpr Signature kSetState{kClass, "__setstate__", {"state"}, 1};

Ref none() { return Ref::borrow(Py_None); }

Ref match_list(Processor& processor, const std::vector<KeywordMatch>& matches) {
  Ref list = new_list(static_cast<Py_ssize_t>(matches.size()));
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const KeywordMatch& m = matches[i];
    Ref object = new_match_object({processor.names.get(processor.engine, m.keyword), m.similarity, m.start, m.end});
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object.release());
  }
  return list;
}

std::optional<float> threshold_argument(const BoundArguments<2>& args) {
  return convert_optional(args, 1, to_float32);
}

// The texts of a batch, copied into one owned buffer.
struct TextBatch {
  std::string bytes;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // offset, length

  std::size_t size() const { return spans.size(); }
  std::string_view operator[](std::size_t i) const {
    return std::string_view(bytes).substr(spans[i].first, spans[i].second);
  }
};

TextBatch convert_texts(PyObject* sequence) {
  TextBatch batch;
  batch.spans = convert_sequence<std::pair<std::size_t, std::size_t>>(sequence, [&](PyObject* item) {
    const std::string_view text = to_utf8(item);
    batch.bytes.append(text);
    return std::pair(batch.bytes.size() - text.size(), text.size());
  });
  return batch;
}

// The two batch methods: convert every text first, run the engine on the
// worker pool into pre-sized slots, then build the Python results in input
// order on the calling thread.
template <class Run, class ToPython>
Ref run_batch(Processor& processor, const BoundArguments<2>& args, Run run, ToPython to_python) {
  TextBatch texts = convert_argument(args, 0, convert_texts);
  const std::optional<float> threshold = threshold_argument(args);
  const KeywordProcessor& engine = processor.engine;
  using Result = decltype(run(engine, std::string_view(), threshold));
  std::vector<Result> results(texts.size());
  pool::WorkerPool* workers = nullptr;
  try {
    workers = &pool::global_pool();
  } catch (const pool::BuildError& error) {
    fail(pool_failure_message(error));
  }
  workers->for_each_index(texts.size(), [&](std::size_t i) {
    results[i] = run(engine, texts[i], threshold);
  });
  texts = TextBatch();

  Ref list = new_list(static_cast<Py_ssize_t>(results.size()));
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(processor, results[i]).release());
  }
  return list;
}

// Batches are not interrupted: a Ctrl-C takes effect when the call returns.
std::vector<KeywordMatch> extract_one(const KeywordProcessor& engine, std::string_view text,
                                      std::optional<float> threshold) {
  return engine.extract_keywords(text, threshold);
}

std::string replace_one(const KeywordProcessor& engine, std::string_view text,
                        std::optional<float> threshold) {
  return engine.replace_keywords(text, threshold);
}

Ref str_result(Processor&, const std::string& text) { return new_str(text); }

// ---- slots ----

PyObject* processor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&] {
    const BoundArguments<2> bound = bind(kNew, args, kwargs);
    const bool case_sensitive = convert_optional(bound, 0, to_flag).value_or(false);
    const bool allow_overlaps = convert_optional(bound, 1, to_flag).value_or(false);
    return allocate<Processor>(type, case_sensitive, allow_overlaps).release();
  });
}

Py_ssize_t processor_len(PyObject* self) {
  return guard<Py_ssize_t>(-1, [&] {
    return with_borrow<Processor, Access::Shared>(self, [](Processor& processor) {
      const std::uint64_t count = processor.engine.count_keywords();
      if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        throw PythonError(PyExc_OverflowError, "the keyword count does not fit in an index");
      }
      return static_cast<Py_ssize_t>(count);
    });
  });
}

PyObject* processor_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    return with_borrow<Processor, Access::Shared>(self, [](Processor& processor) {
      return new_str("KeywordProcessor(num_keywords=" +
                     std::to_string(processor.engine.count_keywords()) + ")")
          .release();
    });
  });
}

void processor_dealloc(PyObject* self) { deallocate<Processor>(self); }

// ---- methods ----

PyObject* add_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Processor, Access::Exclusive>(
      kAddKeyword, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::string_view keyword = convert_argument(bound, 0, to_utf8);
        const std::optional<std::string_view> clean_name = convert_optional(bound, 1, to_utf8);
        processor.names.forget(processor.engine.add_keyword(keyword, clean_name));
        return none();
      });
}

PyObject* remove_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return call_method<Processor, Access::Exclusive>(
      kRemoveKeyword, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::string_view keyword = convert_argument(bound, 0, to_utf8);
        const std::optional<NameId> removed = processor.engine.remove_keyword(keyword);
        if (removed) processor.names.forget(*removed);
        return Ref::borrow(removed ? Py_True : Py_False);
      });
}

PyObject* extract_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_method<Processor, Access::Shared>(
      kExtractKeywords, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::string_view text = convert_argument(bound, 0, to_utf8);
        return match_list(processor,
                          processor.engine.extract_keywords(text, threshold_argument(bound), kPendingSignals));
      });
}

PyObject* parallel_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_method<Processor, Access::Shared>(
      kParallelExtract, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        return run_batch(processor, bound, extract_one, match_list);
      });
}

PyObject* replace_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_method<Processor, Access::Shared>(
      kReplaceKeywords, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::string_view text = convert_argument(bound, 0, to_utf8);
        return new_str(processor.engine.replace_keywords(text, threshold_argument(bound), kPendingSignals));
      });
}

PyObject* parallel_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_method<Processor, Access::Shared>(
      kParallelReplace, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        return run_batch(processor, bound, replace_one, str_result);
      });
}

PyObject* get_all_keywords(PyObject* self, PyObject*) {
  return call_method_noargs<Processor>(self, [](Processor& processor) {
    const auto keywords = processor.engine.get_all_keywords();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) fail_python_api_call();
    for (const auto& [keyword, clean_name] : keywords) {
      Ref key = new_str(keyword);
      Ref value = new_str(clean_name);
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
        fail(unset_dict_item_message());
      }
    }
    return dict;
  });
}

PyObject* set_non_word_boundaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_method<Processor, Access::Exclusive>(
      kSetBoundaries, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::vector<std::uint32_t> code_points = convert_argument(
            bound, 0, [](PyObject* sequence) {
              return convert_sequence<std::uint32_t>(sequence, to_code_point);
            });
        processor.engine.set_word_chars(code_points);
        return none();
      });
}

PyObject* add_non_word_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_method<Processor, Access::Exclusive>(
      kAddBoundary, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        processor.engine.add_word_char(convert_argument(bound, 0, to_code_point));
        return none();
      });
}

PyObject* set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Processor, Access::Exclusive>(
      kSetState, self, args, nargs, kwnames, [](Processor& processor, const auto& bound) {
        const std::string_view state = convert_argument(bound, 0, to_bytes);
        state::ReadError error;
        std::unique_ptr<KeywordProcessor> read = state::read_processor_state(state, error);
        if (!read) fail(state_failure_message(error));
        processor.engine = std::move(*read);
        processor.names.clear();
        return none();
      });
}

PyObject* get_state(PyObject* self, PyObject*) {
  return call_method_noargs<Processor>(self, [](Processor& processor) {
    return new_bytes(state::write_processor_state(processor.engine));
  });
}

PyMethodDef processor_methods[] = {
    fast_method<kAddKeyword>(add_keyword),
    fast_method<kRemoveKeyword>(remove_keyword),
    fast_method<kExtractKeywords>(extract_keywords),
    fast_method<kParallelExtract>(parallel_extract),
    fast_method<kReplaceKeywords>(replace_keywords),
    fast_method<kParallelReplace>(parallel_replace),
    NOARGS_METHOD("get_all_keywords", get_all_keywords),
    fast_method<kSetBoundaries>(set_non_word_boundaries),
    fast_method<kAddBoundary>(add_non_word_boundary),
    fast_method<kSetState>(set_state),
    NOARGS_METHOD("__getstate__", get_state),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot processor_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDocstring<kNew>.data())},
    {Py_tp_new, reinterpret_cast<void*>(processor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(processor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(processor_repr)},
    {Py_mp_length, reinterpret_cast<void*>(processor_len)},
    {Py_tp_methods, processor_methods},
    {0, nullptr},
};

PyType_Spec processor_spec{"termsweep.KeywordProcessor", sizeof(PyKeywordProcessor), 0,
                           Py_TPFLAGS_DEFAULT, processor_slots};

}  // namespace

Ref NameCache::get(const KeywordProcessor& processor, NameId id) {
  if (id >= strings_.size()) strings_.resize(std::max<std::size_t>(id + 1, strings_.size() * 2), nullptr);
  if (!strings_[id]) strings_[id] = new_str(processor.clean_name(id)).release();
  return Ref::borrow(strings_[id]);
}

void NameCache::clear() noexcept {
  for (PyObject*& text : strings_) Py_CLEAR(text);
  strings_.clear();
}

PyTypeObject* keyword_processor_type() {
  if (!PythonClass<Processor>::type) PythonClass<Processor>::type = create_type(processor_spec);
  return PythonClass<Processor>::type;
}

}  // namespace termsweep::python

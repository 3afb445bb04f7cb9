// Module initialisation.
#include <atomic>
#include <cstdint>

#include "python/objects.hpp"

namespace termsweep::python {

PyTypeObject* create_type(PyType_Spec& type_spec) {
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) PythonError::fetch_and_throw();
  return reinterpret_cast<PyTypeObject*>(type);
}

namespace {

std::atomic<std::int64_t> initialising_interpreter{-1};
PyObject* cached_module = nullptr;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "termsweep", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends the class's name to __all__ (created when missing) and binds it.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PythonError::fetch_and_throw();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      PythonError::fetch_and_throw();
    }
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) PythonError::fetch_and_throw();
  if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    PythonError::fetch_and_throw();
  }
}

PyObject* initialise() {
  return guard<PyObject*>(nullptr, [] {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) PythonError::fetch_and_throw();
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      throw PythonError(PyExc_ImportError,
                        "termsweep does not yet support sub-interpreters: it can be imported "
                        "in one interpreter per process");
    }
    if (cached_module) return Ref::borrow(cached_module).release();
    Ref module = Ref::steal(PyModule_Create(&module_definition));
    if (!module) PythonError::fetch_and_throw();
    add_class(module.get(), "KeywordProcessor", keyword_processor_type());
    add_class(module.get(), "PyKeywordMatch", keyword_match_type());
    cached_module = Ref::borrow(module.get()).release();
    return module.release();
  });
}

}  // namespace
}  // namespace termsweep::python

PyMODINIT_FUNC PyInit_termsweep() { return termsweep::python::initialise(); }

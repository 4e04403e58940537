#include <Python.h>

#include "embedded_python.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qv::testing {
namespace {

// The interpreter stays up until the process ends, as in a host; finalising it would only turn the
// interpreter's own unreleased start-up allocations into leak reports under the address sanitizer.
// Its objects come from malloc rather than its own arenas, so that the leak checker can follow
// references between them and report an object the bridge fails to release.
class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("PYTHONMALLOC", "malloc", 0);
    Py_InitializeEx(0);
    PyEval_SaveThread();
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

PyObject* mainDict() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

// Evaluates under the lock the caller holds; fails the test and returns nullptr on an exception.
PyObject* evaluate(const std::string& expression) {
  PyObject* result = PyRun_String(expression.c_str(), Py_eval_input, mainDict(), mainDict());
  if (result == nullptr) {
    PyErr_Print();
    ADD_FAILURE() << "Python raised evaluating: " << expression;
  }
  return result;
}

}  // namespace

void runPython(const std::string& code) {
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* result = PyRun_String(code.c_str(), Py_file_input, mainDict(), mainDict());
  if (result == nullptr) {
    PyErr_Print();
    ADD_FAILURE() << "Python raised running: " << code;
  }
  Py_XDECREF(result);
  PyGILState_Release(state);
}

bool pythonTrue(const std::string& expression) {
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* result = evaluate(expression);
  bool truth = result != nullptr && PyObject_IsTrue(result) == 1;
  Py_XDECREF(result);
  PyGILState_Release(state);
  return truth;
}

std::string pythonRepr(const std::string& expression) {
  PyGILState_STATE state = PyGILState_Ensure();
  std::string text = "<error>";
  PyObject* result = evaluate(expression);
  PyObject* repr = result != nullptr ? PyObject_Repr(result) : nullptr;
  if (repr != nullptr) text = PyUnicode_AsUTF8(repr);
  Py_XDECREF(repr);
  Py_XDECREF(result);
  PyErr_Clear();
  PyGILState_Release(state);
  return text;
}

HostObject mainObject(const char* name) {
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* object = PyDict_GetItemString(mainDict(), name);
  PyGILState_Release(state);
  return object;
}

int threadStateCount() {
  PyGILState_STATE state = PyGILState_Ensure();
  int count = 0;
  for (PyThreadState* thread = PyInterpreterState_ThreadHead(PyInterpreterState_Main()); thread != nullptr;
       thread = PyThreadState_Next(thread)) {
    ++count;
  }
  PyGILState_Release(state);
  return count;
}

}  // namespace qv::testing

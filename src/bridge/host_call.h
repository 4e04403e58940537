// Calls into the host and the values passed to it: the pieces every raise shares. Internal to
// src/bridge (it includes Python.h; the rest of the runtime sees only HostObject).
//
// REQUIRES for every function here: the calling thread holds the interpreter lock (InterpreterLock).
// None of them leaves the interpreter's error indicator set.
#ifndef QV_BRIDGE_HOST_CALL_H
#define QV_BRIDGE_HOST_CALL_H

#include <Python.h>

namespace qv::bridge {

// A host string from GB2312 text, dropping bytes that do not decode; nullptr text gives "".
// Returns a new reference, or nullptr after printing the error.
PyObject* decodeGb2312(const char* text);

// A host string from the runtime's own text (UTF-8; ASCII in practice). A malformed byte becomes
// U+FFFD instead of failing the event; nullptr text gives "". New reference, or nullptr after
// printing the error.
PyObject* hostString(const char* text);

// Calls `callable` with the argument tuple `args` and no keywords, ignoring the result. An
// exception raised by the callable has its traceback printed and is cleared; a SystemExit is
// printed the same way instead of ending the process from a runtime thread.
void callHost(PyObject* callable, PyObject* args);

// Prints and clears the pending exception, if any (see callHost for SystemExit).
void reportHostError();

// Builds a tuple from `n` new references, taking them over. When any item is nullptr (its
// builder failed and printed why), releases the others and returns nullptr. Inline: every event
// builds one, mostly of a count known where it is called.
inline PyObject* packTuple(PyObject* const* items, Py_ssize_t n) {
  bool complete = true;
  for (Py_ssize_t i = 0; i < n; ++i) complete = complete && items[i] != nullptr;
  PyObject* tuple = complete ? PyTuple_New(n) : nullptr;
  if (tuple == nullptr) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(items[i]);
    reportHostError();
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, items[i]);
  return tuple;
}

}  // namespace qv::bridge

#endif  // QV_BRIDGE_HOST_CALL_H

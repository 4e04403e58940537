#include <Python.h>

#include "bridge/host_state.h"

#include <atomic>
#include <cstdio>

#include "bridge/callables.h"
#include "bridge/host_call.h"
#include "bridge/interpreter_lock.h"

namespace qv::bridge {
namespace {

std::atomic<char> gRunMode{kRunModeText};

// Borrowed like every registered callable, except the looked-up print, whose reference is kept
// for the life of the process.
std::atomic<HostObject> gTextProcessor{nullptr};

// The host's print: __main__.__builtins__ is the builtins module in __main__ but may be its dict
// elsewhere; when neither answers, the builtins module itself. New reference, or nullptr.
PyObject* lookUpPrint() {
  PyObject* print = nullptr;
  PyObject* mainModule = PyImport_AddModule("__main__");  // borrowed
  PyObject* builtins = mainModule != nullptr ? PyObject_GetAttrString(mainModule, "__builtins__") : nullptr;
  if (builtins != nullptr && PyDict_Check(builtins)) {
    print = PyDict_GetItemString(builtins, "print");  // borrowed
    Py_XINCREF(print);
  } else if (builtins != nullptr) {
    print = PyObject_GetAttrString(builtins, "print");
  }
  Py_XDECREF(builtins);
  if (print == nullptr) {
    PyErr_Clear();
    PyObject* module = PyImport_ImportModule("builtins");
    if (module != nullptr) {
      print = PyObject_GetAttrString(module, "print");
      Py_DECREF(module);
    }
  }
  if (print == nullptr) reportHostError();
  return print;
}

// REQUIRES: the interpreter lock (which also serialises the one-time look-up).
PyObject* currentTextProcessor() {
  HostObject processor = gTextProcessor.load(std::memory_order_acquire);
  if (processor != nullptr && processor != Py_None) return processor;
  PyObject* print = lookUpPrint();
  if (print == nullptr) return nullptr;
  HostObject expected = processor;
  if (gTextProcessor.compare_exchange_strong(expected, print, std::memory_order_acq_rel)) return print;
  Py_DECREF(print);  // a processor was set meanwhile; it wins
  return expected;
}

}  // namespace

void setRunMode(int32_t mode) {
  gRunMode.store(static_cast<char>(static_cast<uint32_t>(mode) & 0xffu), std::memory_order_relaxed);
}

char runMode() { return gRunMode.load(std::memory_order_relaxed); }

int32_t setTextProcessor(HostObject processor) {
  if (!isCallable(processor)) return kErrNotCallable;
  gTextProcessor.store(processor, std::memory_order_release);
  return 0;
}

void TEST_forgetTextProcessor() { gTextProcessor.store(nullptr, std::memory_order_release); }

HostObject textProcessor() { return gTextProcessor.load(std::memory_order_acquire); }

void handOverText(const char* text) {
  if (text == nullptr) text = "";
  if (!interpreterRunning()) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return;
  }
  InterpreterLock lock;
  if (!lock.held()) return;  // the host is ending
  PyObject* item = decodeGb2312(text);
  PyObject* args = packTuple(&item, 1);
  if (args == nullptr) return;
  PyObject* processor = currentTextProcessor();
  if (processor != nullptr) callHost(processor, args);
  Py_DECREF(args);
}

}  // namespace qv::bridge

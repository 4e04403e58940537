#include <Python.h>

#include "bridge/host_exit.h"

#include <atomic>
#include <thread>

#include "bridge/host_call.h"
#include "bridge/interpreter_lock.h"

namespace qv::bridge {
namespace {

enum Watch : int { kUnwatched, kRegistering, kHooked };

std::atomic<int> gInside{0};       // admitted calls, on every thread
std::atomic<bool> gClosed{false};  // the exit hook ran
// Whether the running interpreter has the hook. Written under the interpreter lock (and reset
// after finalisation); while it is kHooked, gClosed alone says whether the host is ending.
std::atomic<int> gWatch{kUnwatched};

PyObject* closeHostDoor(PyObject*, PyObject*) {
  gClosed.store(true);
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  while (gInside.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef kExitHook = {"quorvane_host_exit", closeHostDoor, METH_NOARGS,
                         "Lets the runtime's threads leave the host before the interpreter ends."};

// Called by the interpreter once it has finalised: an interpreter started later in the same
// process (an embedder may start one) opens the door again and registers its own hook.
void reopenHostDoor() {
  gWatch.store(kUnwatched);
  gClosed.store(false);
}

}  // namespace

bool enterHost() {
  gInside.fetch_add(1);
  if (gClosed.load() || (gWatch.load(std::memory_order_relaxed) != kHooked && !interpreterRunning())) {
    gInside.fetch_sub(1);
    return false;
  }
  return true;
}

void leaveHost() { gInside.fetch_sub(1, std::memory_order_release); }

void watchHostExit() {
  if (gWatch.load(std::memory_order_relaxed) != kUnwatched) return;
  // Tried once per interpreter, so that a failure is reported once rather than on every event.
  gWatch.store(kRegistering, std::memory_order_relaxed);
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* hook = atexit != nullptr ? PyCFunction_New(&kExitHook, nullptr) : nullptr;
  PyObject* result = hook != nullptr ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  if (result == nullptr) reportHostError();
  Py_XDECREF(result);
  Py_XDECREF(hook);
  Py_XDECREF(atexit);
  if (result != nullptr && Py_AtExit(reopenHostDoor) == 0) gWatch.store(kHooked);
}

}  // namespace qv::bridge

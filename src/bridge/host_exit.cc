#include <Python.h>

#include "bridge/host_exit.h"

#include <atomic>
#include <thread>

#include "bridge/host_call.h"
#include "bridge/interpreter_lock.h"

namespace qv::bridge {
namespace {

std::atomic<int> gInside{0};        // admitted calls on every thread
std::atomic<bool> gClosed{false};   // the exit hook ran
std::atomic<bool> gWatched{false};  // the hook is registered with the running interpreter
thread_local int tlsInside = 0;     // admitted calls of this thread (nested raises)

// The exit hook. The thread running it may itself be inside admitted calls (a host that ends from
// inside an event); those are its own and are not waited for.
PyObject* closeHostDoor(PyObject*, PyObject*) {
  gClosed.store(true);
  const int own = tlsInside;
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  while (gInside.load() > own && std::chrono::steady_clock::now() < deadline) {
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
  gWatched.store(false);
  gClosed.store(false);
}

}  // namespace

bool enterHost() {
  gInside.fetch_add(1);
  if (gClosed.load() || !interpreterRunning()) {
    gInside.fetch_sub(1);
    return false;
  }
  ++tlsInside;
  return true;
}

void leaveHost() {
  --tlsInside;
  gInside.fetch_sub(1);
}

void watchHostExit() {
  if (gWatched.load(std::memory_order_acquire)) return;
  // Serialised by the interpreter lock; registering is tried once per interpreter, so a failure
  // is reported once rather than on every event.
  gWatched.store(true, std::memory_order_release);
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* hook = atexit != nullptr ? PyCFunction_New(&kExitHook, nullptr) : nullptr;
  PyObject* result = hook != nullptr ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  if (result == nullptr) reportHostError();
  Py_XDECREF(result);
  Py_XDECREF(hook);
  Py_XDECREF(atexit);
  if (result != nullptr) Py_AtExit(reopenHostDoor);
}

}  // namespace qv::bridge

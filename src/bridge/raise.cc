#include <Python.h>

#include "bridge/raise.h"

#include "bridge/event_text.h"
#include "bridge/host_call.h"
#include "bridge/host_state.h"
#include "bridge/interpreter_lock.h"

namespace qv::bridge {
namespace {

HostObject registeredCallable(const CallableSlot& slot) {
  HostObject callable = slot.get();
  return callable != Py_None ? callable : nullptr;
}

PyObject* address(const void* record) {
  return PyLong_FromSsize_t(reinterpret_cast<Py_ssize_t>(record));
}

// Builds the tuple from `items` (new references, any nullptr meaning its builder failed) and calls.
template <size_t N>
void callWith(PyObject* callable, PyObject* const (&items)[N]) {
  PyObject* args = packTuple(items, static_cast<Py_ssize_t>(N));
  if (args == nullptr) return;
  callHost(callable, args);
  Py_DECREF(args);
}

}  // namespace

void raiseResponse(const CallableSlot& slot, ResponseFallback fallback, int32_t eventId,
                   const void* record, bool isLast, const char* userId, int32_t errorId,
                   const char* message) {
  HostObject callable = registeredCallable(slot);
  if (callable == nullptr) {
    if (fallback != nullptr) fallback(eventId, record, isLast, userId, errorId, message);
    return;
  }
  InterpreterLock lock;
  if (!lock.held()) return;
  PyObject* last = isLast ? Py_True : Py_False;
  Py_INCREF(last);
  PyObject* const items[] = {PyLong_FromLong(eventId), address(record), last, hostString(userId),
                             PyLong_FromLong(errorId), decodeGb2312(message)};
  callWith(callable, items);
}

void raiseOrderEvent(const CallableSlot& slot, int32_t eventId, const CQVOrderField* order,
                     const CQVPositionField* position, double usableCash) {
  HostObject callable = registeredCallable(slot);
  if (callable == nullptr) {
    handOverText(formatOrderEvent(eventId, order, position, usableCash).c_str());
    return;
  }
  InterpreterLock lock;
  if (!lock.held()) return;
  PyObject* const items[] = {PyLong_FromLong(eventId), address(order), address(position),
                             PyFloat_FromDouble(usableCash)};
  callWith(callable, items);
}

void raiseSnapshot(const CallableSlot& slot, int32_t eventId, const CQVMarketDataField* snapshot) {
  HostObject callable = registeredCallable(slot);
  if (callable == nullptr) {
    if (runMode() == kRunModeText) handOverText(formatSnapshotEvent(snapshot).c_str());
    return;
  }
  InterpreterLock lock;
  if (!lock.held()) return;
  PyObject* const items[] = {PyLong_FromLong(eventId), address(snapshot)};
  callWith(callable, items);
}

void callLoop(const CallableSlot& slot) {
  HostObject callable = registeredCallable(slot);
  if (callable == nullptr) return;
  InterpreterLock lock;
  if (!lock.held()) return;
  PyObject* noArgs = PyTuple_New(0);
  if (noArgs == nullptr) {
    reportHostError();
    return;
  }
  callHost(callable, noArgs);
  Py_DECREF(noArgs);
}

}  // namespace qv::bridge

#include <Python.h>

#include "bridge/callables.h"
#include "bridge/interpreter_lock.h"

namespace qv::bridge {

bool isCallable(HostObject object) {
  if (object == nullptr || object == Py_None) return false;
  InterpreterLock lock;
  if (!lock.held()) return false;
  return PyCallable_Check(object) != 0;
}

int32_t setCallable(CallableSlot& slot, HostObject object) {
  if (!isCallable(object)) return kErrNotCallable;
  slot.set(object);
  return 0;
}

void initCallable(CallableSlot& slot, HostObject object) {
  if (object == nullptr || object == Py_None) {
    slot.set(object);
    return;
  }
  if (isCallable(object)) slot.set(object);
}

}  // namespace qv::bridge

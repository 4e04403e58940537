#include <Python.h>

#include "bridge/callable_slot.h"

namespace qv {

bool CallableSlot::isRegistered() const {
  HostObject object = get();
  return object != nullptr && object != Py_None;
}

}  // namespace qv

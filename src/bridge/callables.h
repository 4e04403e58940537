// Checked storing of host callables into CallableSlots: the setter exports and client construction
// go through here. Callable from any thread that does not hold the interpreter lock; the checks
// take the lock themselves (see interpreter_lock.h). The interpreter must be running.
#ifndef QV_BRIDGE_CALLABLES_H
#define QV_BRIDGE_CALLABLES_H

#include <cstdint>

#include "bridge/callable_slot.h"
#include "bridge/host_object.h"

namespace qv::bridge {

// Returned by a setter given nullptr, the host's None or an object that is not callable; the slot
// keeps its previous value.
inline constexpr int32_t kErrNotCallable = -10002900;

// Setter rule: stores `object` only when PyCallable_Check accepts it; returns 0, or kErrNotCallable
// leaving the slot unchanged (also for nullptr and None).
int32_t setCallable(CallableSlot& slot, HostObject object);

// Construction rule: nullptr or None is stored as "nothing registered" without a check (a callable
// given at construction may be absent); any other object is stored only when it is callable, and a
// non-callable leaves the slot as it was.
void initCallable(CallableSlot& slot, HostObject object);

// True when `object` is not nullptr, not None and accepted by PyCallable_Check.
bool isCallable(HostObject object);

}  // namespace qv::bridge

#endif  // QV_BRIDGE_CALLABLES_H

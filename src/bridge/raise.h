// Raising events to the host: each operation calls the callable registered in its slot under the
// interpreter lock, or, when the slot holds nothing (nullptr or None), does what the event does
// without a callable. Called on any thread that does not hold the interpreter lock: the CTP
// libraries' callback threads, the worker threads, host threads inside exports. The raiser may hold
// runtime spin locks (the interpreter lock is always taken after them, never before).
//
// The slot is read once per raise, so a setter takes effect on the next event. The lock is held
// only while the tuple is built and the callable runs. A callable that raises has its traceback
// printed and its error cleared; the lock is released and the raise returns normally, so the
// runtime carries on with the next event. The callable's return value is ignored. Once the
// host is ending (host_exit.h) or the interpreter is gone, an event is dropped: a library thread
// raising during the host's shutdown would otherwise be ended inside the interpreter.
//
// Tuples (Py_BuildValue letters): response (i event id, n record address or 0, O True/False,
// s user text, i error id, message decoded from GB2312 with undecodable bytes dropped); order event
// (i, n order address, n position address, f usable cash); snapshot (i, n snapshot address).
#ifndef QV_BRIDGE_RAISE_H
#define QV_BRIDGE_RAISE_H

#include <cstdint>

#include "bridge/callable_slot.h"
#include "records/cqv_records.h"

namespace qv::bridge {

// What a client does with a response event when no callable is registered: same six values as
// a response raise (event_text.h's printResponseEvent is the usual one).
using ResponseFallback = void (*)(int32_t eventId, const void* record, bool isLast,
                                  const char* userId, int32_t errorId, const char* message);

// Without a callable: `fallback`, when not null, with the same six values.
void raiseResponse(const CallableSlot& slot, ResponseFallback fallback, int32_t eventId,
                   const void* record, bool isLast, const char* userId, int32_t errorId,
                   const char* message);

// Without a callable: the order-event text, whatever the run mode.
void raiseOrderEvent(const CallableSlot& slot, int32_t eventId, const CQVOrderField* order,
                     const CQVPositionField* position, double usableCash);

// Without a callable: the snapshot text, only while the run mode is '0'.
void raiseSnapshot(const CallableSlot& slot, int32_t eventId, const CQVMarketDataField* snapshot);

// Calls the loop callable with no arguments; without one, nothing.
void callLoop(const CallableSlot& slot);

}  // namespace qv::bridge

#endif  // QV_BRIDGE_RAISE_H

// CallableSlot: where the runtime keeps one host callable (an order-event, snapshot, response or
// loop callable of a client). Owned by its client; written by the setters (host threads) and at
// client construction, read on every raise by whatever thread raises.
//
// The slot holds a borrowed reference: the runtime never changes the object's reference count, so
// the host keeps a registered callable alive for as long as the client exists. nullptr and the
// host's None both mean "nothing registered". The pointer is read and written as one indivisible
// value with acquire/release ordering and no lock, so a new callable takes effect on the next raise
// while a raise already inside the old one finishes there. Nothing here needs the interpreter lock:
// comparing with None only compares addresses.
#ifndef QV_BRIDGE_CALLABLE_SLOT_H
#define QV_BRIDGE_CALLABLE_SLOT_H

#include <atomic>

#include "bridge/host_object.h"

namespace qv {

class CallableSlot {
 public:
  CallableSlot() = default;
  CallableSlot(const CallableSlot&) = delete;
  CallableSlot& operator=(const CallableSlot&) = delete;

  HostObject get() const { return object_.load(std::memory_order_acquire); }

  // Stores without any check; bridge::setCallable and bridge::initCallable are the checked ways in.
  void set(HostObject object) { object_.store(object, std::memory_order_release); }

  // Not nullptr and not the host's None.
  bool isRegistered() const;

 private:
  std::atomic<HostObject> object_{nullptr};
};

static_assert(std::atomic<HostObject>::is_always_lock_free);

}  // namespace qv

#endif  // QV_BRIDGE_CALLABLE_SLOT_H

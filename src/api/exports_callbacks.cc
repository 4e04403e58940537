// Exports that register host callables on a client: the id is checked first, then the object
// (None or not callable is refused with -10002900 and the slot keeps its value).
#include "api/export_guard.h"
#include "api/exports.h"
#include "bridge/callables.h"
#include "trading/error_codes.h"
#include "trading/md_client.h"

using qv::api::guarded;

int32_t setOrderEventCallback(QvHandle handle, int32_t eventId, QvObject callable) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::kErrNotCallable, [&] {
    qv::CallableSlot* slot = handle->orderEventSlot(eventId);
    if (slot == nullptr) return qv::kErrOrderEventId;
    return qv::bridge::setCallable(*slot, callable);
  });
}

int32_t setSnapDataEventCallback(QvHandle handle, int32_t eventId, QvObject callable) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::kErrNotCallable, [&] {
    qv::MdClient* md = handle->mdClient();
    if (md == nullptr) return qv::kErrNoMdClient;
    qv::CallableSlot* slot = md->snapshotSlot(eventId);
    if (slot == nullptr) return qv::kErrSnapshotEventId;
    return qv::bridge::setCallable(*slot, callable);
  });
}

int32_t setDetailDataEventCallback(QvHandle handle, int32_t eventId, QvObject callable) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::kErrNotCallable, [&] {
    qv::MdClient* md = handle->mdClient();
    if (md == nullptr) return qv::kErrNoMdClient;
    qv::CallableSlot* slot = md->detailSlot(eventId);
    if (slot == nullptr) return qv::kErrDetailEventId;
    return qv::bridge::setCallable(*slot, callable);
  });
}

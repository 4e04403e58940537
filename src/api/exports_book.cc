// Read-only exports over a client's order book, positions and cash.
#include "api/export_guard.h"
#include "api/exports.h"

using qv::api::guarded;
using qv::api::recordOf;

CQVOrderField* getOrder(QvHandle handle, int32_t orderId) {
  if (!qv::api::knownHandle(handle)) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&] { return recordOf(handle->findOrder(orderId)); });
}

CQVPositionField* getPosition(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  if (!qv::api::knownHandle(handle)) return nullptr;
  return guarded<CQVPositionField*>(nullptr, [&] {
    return recordOf(handle->findPosition(instrumentId, exchangeId));
  });
}

double getUsableCash(QvHandle handle) {
  if (!qv::api::knownHandle(handle)) return -1.0;
  return handle->usableCash();
}

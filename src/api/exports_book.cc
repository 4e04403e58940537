// Read-only exports over a client's order book, positions and cash.
#include "api/export_guard.h"
#include "api/exports.h"

using qv::api::guarded;
using qv::api::recordOf;

CQVOrderField* getOrder(QvHandle handle, int32_t orderId) {
  if (handle == nullptr) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&] { return recordOf(handle->findOrder(orderId)); });
}

CQVPositionField* getPosition(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  if (handle == nullptr) return nullptr;
  return guarded<CQVPositionField*>(nullptr, [&] {
    return recordOf(handle->findPosition(instrumentId, exchangeId));
  });
}

double getUsableCash(QvHandle handle) {
  if (handle == nullptr) return -1.0;
  return handle->usableCash();
}

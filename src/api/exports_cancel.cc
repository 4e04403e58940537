// Cancellation exports: slot 2 directly, or the client's selection walks over its working orders.
#include "api/export_guard.h"
#include "api/exports.h"
#include "trading/error_codes.h"

using qv::api::guarded;
using qv::api::kErrInternal;

int32_t cancelOrder(QvHandle handle, const char* exchangeId, const char* instrumentId,
                    const char* orderSysId, int32_t orderId, int32_t frontId, int32_t sessionId) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] {
    return handle->cancelOrder(exchangeId, instrumentId, orderSysId, orderId, frontId, sessionId);
  });
}

int32_t cancelOrderAll(QvHandle handle) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] { return handle->cancelOrderAll(); });
}

int32_t cancelOrderByExchangeID(QvHandle handle, const char* exchangeId) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] { return handle->cancelOrderByExchangeID(exchangeId); });
}

int32_t cancelOrderByOrderID(QvHandle handle, int32_t orderId) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] { return handle->cancelOrderByOrderID(orderId); });
}

int32_t cancelOrderByStandardID(QvHandle handle, const char* instrumentId,
                                const char* exchangeId) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] {
    return handle->cancelOrderByStandardID(instrumentId, exchangeId);
  });
}

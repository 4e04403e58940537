// Transfer and password exports, forwarded to slots 20 to 22.
#include <cmath>

#include "api/export_guard.h"
#include "api/exports.h"
#include "trading/error_codes.h"

using qv::api::guarded;
using qv::api::recordOf;

CQVTransferAssetField* transferCash(QvHandle handle, uint8_t direction, double amount,
                                    const char* accountPassword, const char* bankId,
                                    const char* bankPassword) {
  // An amount that is not a finite number is no transfer a bank could make.
  if (!qv::api::knownHandle(handle) || !std::isfinite(amount)) return nullptr;
  return guarded<CQVTransferAssetField*>(nullptr, [&] {
    return recordOf(handle->transferCash(static_cast<char>(direction), amount, accountPassword,
                                         bankId, bankPassword));
  });
}

CQVTransferAssetField* transferPosition(QvHandle handle, uint8_t direction,
                                        const char* instrumentId, const char* exchangeId,
                                        int32_t volume, const char* accountPassword,
                                        const char* targetAccount) {
  if (!qv::api::knownHandle(handle)) return nullptr;
  return guarded<CQVTransferAssetField*>(nullptr, [&] {
    return recordOf(handle->transferPosition(static_cast<char>(direction), instrumentId,
                                             exchangeId, volume, accountPassword, targetAccount));
  });
}

int32_t updatePassword(QvHandle handle, uint8_t kind, const char* oldPassword,
                       const char* newPassword) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::api::kErrInternal, [&] {
    return handle->updatePassword(static_cast<char>(kind), oldPassword, newPassword);
  });
}

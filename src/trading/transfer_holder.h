// TransferHolder: one bank transfer made by `transferCash`. Owned by its client's transfer table
// and never freed while the client lives: the host keeps the record's address (holder address + 8)
// and reads it without the lock. Results are written under `lock` held for writing.
#ifndef QV_TRADING_TRANSFER_HOLDER_H
#define QV_TRADING_TRANSFER_HOLDER_H

#include <cstddef>
#include <type_traits>

#include "base/spin_lock.h"
#include "records/cqv_records.h"

namespace qv {

struct TransferHolder {
  SpinRwLock lock;
  CQVTransferAssetField record QV_GUARDED_BY(lock);
};
static_assert(std::is_standard_layout_v<TransferHolder>);
static_assert(offsetof(TransferHolder, record) == 8, "the host receives holder address + 8");

}  // namespace qv

#endif  // QV_TRADING_TRANSFER_HOLDER_H

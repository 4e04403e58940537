// OrderHolder: one order made or restored by a client. Owned by the client's `allOrders` map and
// never freed while the client lives: the host keeps the record's address (holder address + 8) and
// reads it without the lock. The record changes only under `lock` held for writing.
// Lock order: order holder -> its position holder -> cash flags.
#ifndef QV_TRADING_ORDER_HOLDER_H
#define QV_TRADING_ORDER_HOLDER_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/reentrant_lock.h"
#include "base/spin_lock.h"
#include "records/cqv_records.h"
#include "trading/instrument_info.h"
#include "trading/instrument_key.h"
#include "trading/position_holder.h"
#include "trading/snapshot_entry.h"

namespace qv {

struct OrderHolder {
  SpinRwLock lock QV_ACQUIRED_BEFORE(PositionHolder::lock);
  CQVOrderField record QV_GUARDED_BY(lock);
  char instrumentKey[kInstrumentKeySize];  // StandardID + "." + ExchangeID
  InstrumentInfo* instrument;               // or null
  SnapshotEntry* snapshot;                  // resolved on first use, or null
  PositionHolder* position;                 // resolved on first use, or null
  ReentrantWriter writer;          // lets the thread holding `lock` take it again
  int32_t refusedAction;           // request id of the last refused cancellation (under `lock`)
};
static_assert(std::is_standard_layout_v<OrderHolder>);
static_assert(offsetof(OrderHolder, record) == 8, "the host receives holder address + 8");

}  // namespace qv

#endif  // QV_TRADING_ORDER_HOLDER_H

// PositionHolder: one client's position in one instrument. Owned by the client's `positions` map
// and never freed while the client lives: the host keeps the record's address (holder address + 8)
// and reads it without the lock. Counters change only under `lock` held for writing.
// Lock order: order holder -> its position holder -> cash flags.
#ifndef QV_TRADING_POSITION_HOLDER_H
#define QV_TRADING_POSITION_HOLDER_H

#include <cstddef>
#include <type_traits>

#include "base/reentrant_lock.h"
#include "base/spin_lock.h"
#include "records/cqv_records.h"
#include "trading/instrument_info.h"
#include "trading/instrument_key.h"
#include "trading/snapshot_entry.h"

namespace qv {

struct PositionHolder {
  SpinRwLock lock;
  CQVPositionField record QV_GUARDED_BY(lock);
  char key[kInstrumentKeySize];   // InstrumentID + "." + ExchangeID
  InstrumentInfo* instrument;      // null when the instrument is not in instrumentTable
  SnapshotEntry* snapshot;         // null until known
  ReentrantWriter writer;          // lets the thread holding `lock` take it again
};
static_assert(std::is_standard_layout_v<PositionHolder>);
static_assert(offsetof(PositionHolder, record) == 8, "the host receives holder address + 8");

}  // namespace qv

#endif  // QV_TRADING_POSITION_HOLDER_H

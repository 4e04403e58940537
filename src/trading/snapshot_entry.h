// SnapshotEntry: the latest market-data snapshot of one instrument, owned by the market-data
// client's snapshot map and never freed while the client lives. The market-data callback thread
// writes the record under the lock held for writing; order entry reads prices under it for reading;
// the host receives the record's address (entry address + 8) and reads it without the lock.
#ifndef QV_TRADING_SNAPSHOT_ENTRY_H
#define QV_TRADING_SNAPSHOT_ENTRY_H

#include <cstddef>
#include <type_traits>

#include "base/spin_lock.h"
#include "records/cqv_records.h"
#include "trading/instrument_info.h"
#include "trading/instrument_key.h"

namespace qv {

struct SnapshotEntry {
  SpinRwLock lock;
  CQVMarketDataField record;
  char key[kInstrumentKeySize];  // StandardID + "." + ExchangeID
  InstrumentInfo* instrument;     // found at creation, or null
};
static_assert(std::is_standard_layout_v<SnapshotEntry>);
static_assert(offsetof(SnapshotEntry, record) == 8, "the host receives entry address + 8");

}  // namespace qv

#endif  // QV_TRADING_SNAPSHOT_ENTRY_H

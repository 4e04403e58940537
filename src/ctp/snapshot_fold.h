// Folding a CTP depth snapshot into the instrument's SnapshotEntry: the first snapshot of an
// instrument makes the entry (fixing its trading day, code, exchange and previous close and
// settlement) and enters it under "ID." and "ID.EXCH"; every later one refreshes the prices,
// volumes, turnover, open interest and five depth levels under the entry's write lock. Levels 6 to
// 10 and the fields CTP does not send stay 0.
//
// REQUIRES: called only on the market-data callback thread (the one writer of the entries and of
// the map's insertions); readers on other threads take the entry's read lock.
#ifndef QV_CTP_SNAPSHOT_FOLD_H
#define QV_CTP_SNAPSHOT_FOLD_H

#include "ThostFtdcUserApiStruct.h"
#include "trading/md_client.h"

namespace qv {

// Returns the entry the snapshot was folded into (never null; entries are never freed).
SnapshotEntry* foldSnapshot(SnapshotMap& snapshots, const CThostFtdcDepthMarketDataField& depth);

}  // namespace qv

#endif  // QV_CTP_SNAPSHOT_FOLD_H

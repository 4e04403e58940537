// Order pricing: what the caller's one-character order type means for an order. The type fixes the
// four CTP conditions (OrderPriceType, TimeCondition, VolumeCondition, ContingentCondition),
// whether the order counts as a limit order for the volume limits, and where its price comes from:
// the caller's price, or a price read from the instrument's latest snapshot.
//
// Pure table look-ups plus one snapshot read; safe on any thread. The snapshot is read under its
// lock held for reading (the market-data thread writes it under the write lock and never raises
// an event while holding it, so a host callable may price orders from inside a snapshot event).
#ifndef QV_TRADING_ORDER_PRICING_H
#define QV_TRADING_ORDER_PRICING_H

#include "records/cqv_records.h"
#include "trading/snapshot_entry.h"

namespace qv {

// Where an order's price comes from.
enum class PriceSource : char {
  kCaller,        // the price the caller gave
  kOwnBest,       // buy at BidPrice1, sell at AskPrice1
  kOppositeBest,  // buy at AskPrice1, sell at BidPrice1
  kLimit,         // buy at UpperLimitPrice, sell at LowerLimitPrice
  kLast,          // LastPrice
};

struct OrderTerms {
  char priceType;
  char timeCondition;
  char volumeCondition;
  char contingentCondition;
  PriceSource source;
  bool isLimitOrder;
};

// The terms of `orderType`; every character has terms (unknown ones buy at the opposite best).
OrderTerms orderTerms(char orderType);

// The snapshot price `source` names for a buy (`buys`) or a sell, clamped to
// [LowerLimitPrice, UpperLimitPrice]; -1 when there is no snapshot.
// REQUIRES: source != PriceSource::kCaller.
double snapshotPrice(SnapshotEntry* snapshot, PriceSource source, bool buys);

// Prices `record` afresh from its Direction and OrderType: sets the four conditions,
// IsLimitOrder, OriginalPrice (the caller's `price` or a snapshot price) and IsBuyFromMarket
// (set when the price was taken from the market, i.e. from the snapshot).
void priceRecord(CQVOrderField& record, SnapshotEntry* snapshot, double price);

}  // namespace qv

#endif  // QV_TRADING_ORDER_PRICING_H

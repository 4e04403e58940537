#include "trading/order_pricing.h"

#include <algorithm>

#include "base/spin_lock.h"
#include "trading/order_codes.h"

namespace qv {
namespace {

constexpr OrderTerms terms(char priceType, char timeCondition, char volumeCondition,
                           char contingentCondition, PriceSource source, bool isLimitOrder) {
  return {priceType, timeCondition, volumeCondition, contingentCondition, source, isLimitOrder};
}

}  // namespace

OrderTerms orderTerms(char orderType) {
  using enum PriceSource;
  switch (orderType) {
    case '0': case 'A': case 'G': case 'O': case 'S':
      return terms('2', '3', '1', '1', kCaller, true);
    case 'B': case 'H': case 'P': case 'T':
      return terms('2', '1', '1', '1', kCaller, true);
    case 'E': case 'I': case 'R': case 'V':
      return terms('2', '1', '3', '1', kCaller, true);
    case 'Q': case 'U':
      return terms('2', '1', '2', '1', kCaller, true);
    case '2':
      return terms('2', '3', '1', '1', kOwnBest, true);
    case '3': case '5':
      return terms('2', '3', '1', '1', kLimit, true);
    case '4':
      return terms('2', '3', '1', '1', kLast, true);
    case 'C': case 'J':
      return terms('1', '3', '1', '1', kLimit, false);
    case 'D': case 'K':
      return terms('1', '1', '1', '1', kLimit, false);
    case 'F': case 'L':
      return terms('1', '1', '3', '1', kLimit, false);
    case 'M':
      return terms('1', '2', '1', '2', kLimit, false);
    case 'N':
      return terms('1', '3', '1', '3', kLimit, false);
    case 'W':
      return terms('G', '1', '1', '1', kLimit, false);
    case 'X':
      return terms('G', '3', '1', '1', kLimit, false);
    case 'Y':
      return terms('G', '1', '1', '1', kOppositeBest, false);
    case 'Z':
      return terms('G', '3', '1', '1', kOppositeBest, false);
    default:
      return terms('2', '3', '1', '1', kOppositeBest, true);
  }
}

double snapshotPrice(SnapshotEntry* snapshot, PriceSource source, bool buys) {
  if (snapshot == nullptr) return -1.0;
  ReadGuard guard(snapshot->lock);
  const CQVMarketDataField& md = snapshot->record;
  double price = md.LastPrice;
  switch (source) {
    case PriceSource::kOwnBest: price = buys ? md.BidPrice1 : md.AskPrice1; break;
    case PriceSource::kOppositeBest: price = buys ? md.AskPrice1 : md.BidPrice1; break;
    case PriceSource::kLimit: price = buys ? md.UpperLimitPrice : md.LowerLimitPrice; break;
    case PriceSource::kLast:
    case PriceSource::kCaller: break;
  }
  return std::max(md.LowerLimitPrice, std::min(price, md.UpperLimitPrice));
}

void priceRecord(CQVOrderField& record, SnapshotEntry* snapshot, double price) {
  const OrderTerms t = orderTerms(record.OrderType);
  record.OrderPriceType = t.priceType;
  record.TimeCondition = t.timeCondition;
  record.VolumeCondition = t.volumeCondition;
  record.ContingentCondition = t.contingentCondition;
  record.IsLimitOrder = t.isLimitOrder;
  record.IsBuyFromMarket = t.source != PriceSource::kCaller;
  record.OriginalPrice = t.source == PriceSource::kCaller
                             ? price
                             : snapshotPrice(snapshot, t.source, record.Direction == kDirectionBuy);
}

}  // namespace qv

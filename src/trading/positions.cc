// Positions: finding or making a client's position holders, freezing and releasing close volume,
// and applying fills to a position's volumes, frozen lots, turnover and average cost.
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "trading/instrument_table.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/position_sides.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

void settleFrozen(PositionSide& side) {
  if (side.historyFrozen < 0) side.historyFrozen = 0;
  if (side.todayFrozen < 0) side.todayFrozen = 0;
  side.frozen = side.historyFrozen + side.todayFrozen;
}

// Takes `lots` frozen lots off a side: first from the counter a close order of this offset books
// them in, then whatever that counter lacks from the other one. The other counter holds them when
// a reload booked them there: a position query may report all lots of a side, and all their frozen
// lots, as today's, while orders closing with offset '1' froze yesterday's.
void unfreeze(PositionSide& side, int32_t lots, char offsetFlag) {
  if (lots <= 0) return;
  int32_t& booked = offsetFlag == kOffsetCloseToday ? side.todayFrozen : side.historyFrozen;
  int32_t& other = offsetFlag == kOffsetCloseToday ? side.historyFrozen : side.todayFrozen;
  const int32_t fromBooked = booked < lots ? (booked > 0 ? booked : 0) : lots;
  booked -= fromBooked;
  other -= lots - fromBooked;
  settleFrozen(side);
}

// Average price of the side: turnover / (volume x multiple). Without a known multiple the cost
// cannot be expressed as a price, so it is left as it was.
void updateAverageCost(PositionSide& side, const InstrumentInfo* instrument) {
  if (instrument == nullptr || instrument->VolumeMultiple == 0) return;
  side.averageCost =
      side.volume > 0 ? side.turnover / (static_cast<double>(side.volume) * instrument->VolumeMultiple)
                      : 0.0;
}

}  // namespace

PositionHolder* OrderEngine::positionFor(const char* key, bool create, InstrumentInfo* instrument,
                                         SnapshotEntry* snapshot, const char* exchangeId,
                                         const char* instrumentId) {
  if (key == nullptr) return nullptr;
  if (PositionHolder* found = positions_.find(key)) return found;
  if (!create) return nullptr;
  SpinFlagGuard guard(positionsFlag_);
  if (PositionHolder* found = positions_.find(key)) return found;
  auto* holder = new PositionHolder{};
  holder->instrument = instrument != nullptr ? instrument : instrumentTable().find(key);
  if (snapshot == nullptr) {
    if (SnapshotMap* snapshots = snapshotMap()) snapshot = snapshots->find(key);
  }
  holder->snapshot = snapshot;
  char codeKey[kInstrumentKeySize];
  {
    // Not yet published; the lock keeps every write to a record under its lock.
    HolderWriteGuard<PositionHolder> hold(holder);
    copyTradingDay(holder->record.TradingDay);
    copyText(holder->record.UserID, login().UserID);
    copyText(holder->record.ExchangeID, exchangeId);
    copyText(holder->record.StandardID, instrumentId);
    makeInstrumentKey(codeKey, holder->record.StandardID, nullptr);
  }
  copyText(holder->key, key);
  positions_.insert(holder->key, holder);
  if (std::strcmp(codeKey, holder->key) != 0) positions_.insert(codeKey, holder);
  return holder;
}

void OrderEngine::freezeClose(PositionHolder& position, int32_t volume, bool sells,
                              char offsetFlag) {
  HolderWriteGuard<PositionHolder> guard(&position);
  PositionSide side = closedSide(position.record, sells);
  if (volume < 0) {
    unfreeze(side, -volume, offsetFlag);
    return;
  }
  (offsetFlag == kOffsetCloseToday ? side.todayFrozen : side.historyFrozen) += volume;
  settleFrozen(side);
}

void OrderEngine::applyFill(PositionHolder& position, int32_t traded, int32_t canceled,
                            double turnover, char direction, char offsetFlag, bool costs) {
  if (direction != kDirectionBuy && direction != kDirectionSell) return;
  const bool buys = direction == kDirectionBuy;
  CQVPositionField& record = position.record;
  if (offsetFlag == kOffsetOpen) {
    PositionSide side = buys ? longSide(record) : shortSide(record);
    if (traded > 0) {
      side.volume += traded;
      side.today += traded;
    }
    if (costs) {
      side.turnover += turnover;
      updateAverageCost(side, position.instrument);
    }
    return;
  }
  PositionSide side = closedSide(record, !buys);
  const int32_t leaving = canceled + traded;
  if (offsetFlag == kOffsetCloseToday) {
    if (traded > 0) {
      side.volume -= traded;
      side.today -= traded;
    }
  } else {
    if (traded > 0) {
      side.volume -= traded;
      // Yesterday's lots go first.
      if (side.history < traded) {
        side.history = 0;
        side.today = side.volume;
      } else {
        side.history -= traded;
      }
    }
  }
  if (costs) {
    side.turnover -= turnover;
    updateAverageCost(side, position.instrument);
  }
  unfreeze(side, leaving, offsetFlag);
  settleFrozen(side);
}

void OrderEngine::addUsableCash(double delta) {
  SpinFlagGuard guard(cashWriteFlag_);
  const double cash = usableCash_.load(std::memory_order_relaxed) + delta;
  if (std::isfinite(cash)) usableCash_.store(cash, std::memory_order_relaxed);
}

void OrderEngine::setUsableCash(double value) {
  SpinFlagGuard guard(cashWriteFlag_);
  if (std::isfinite(value)) usableCash_.store(value, std::memory_order_relaxed);
}

}  // namespace qv

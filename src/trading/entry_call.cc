#include "trading/entry_call.h"

#include <cstring>

#include "base/reentrant_lock.h"
#include "trading/close_plan.h"
#include "trading/error_codes.h"
#include "trading/order_codes.h"
#include "trading/order_pricing.h"
#include "trading/volume_limits.h"

namespace qv {
namespace {

// The conditions and price one order hands to the next of the same instrument and direction.
struct Pricing {
  char priceType;
  char timeCondition;
  char volumeCondition;
  char contingentCondition;
  double price;
  bool isBuyFromMarket;
  bool isLimitOrder;
};

Pricing pricingOf(const CQVOrderField& r) {
  return {r.OrderPriceType, r.TimeCondition, r.VolumeCondition, r.ContingentCondition,
          r.OriginalPrice,  r.IsBuyFromMarket, r.IsLimitOrder};
}

void applyPricing(CQVOrderField& r, const Pricing& p) {
  r.OrderPriceType = p.priceType;
  r.TimeCondition = p.timeCondition;
  r.VolumeCondition = p.volumeCondition;
  r.ContingentCondition = p.contingentCondition;
  r.OriginalPrice = p.price;
  r.IsBuyFromMarket = p.isBuyFromMarket;
  r.IsLimitOrder = p.isLimitOrder;
}

SnapshotEntry* snapshotFor(const OrderEngine& engine, const OrderHolder& order) {
  SnapshotMap* snapshots = engine.snapshotMap();
  return snapshots != nullptr ? snapshots->find(order.instrumentKey) : nullptr;
}

}  // namespace

OrderHolder* OrderEngine::EntryCall::make(InstrumentInfo* instrument, PositionHolder* position,
                                          const char* exchangeId, const char* instrumentId,
                                          bool sells, char offsetFlag) {
  OrderHolder* order = engine_.makeOrder(orderMark_, instrument, position, exchangeId,
                                         instrumentId);
  const char direction = sells ? kDirectionSell : kDirectionBuy;
  Pricing copied{};
  bool copy = false;
  if (previous_ != nullptr) {
    HolderReadGuard<OrderHolder> guard(previous_);
    copy = previous_->record.Direction == direction &&
           std::strcmp(previous_->instrumentKey, order->instrumentKey) == 0;
    if (copy) copied = pricingOf(previous_->record);
  }
  SnapshotEntry* snapshot = copy ? nullptr : snapshotFor(engine_, *order);
  {
    HolderWriteGuard<OrderHolder> guard(order);
    CQVOrderField& r = order->record;
    r.Direction = direction;
    r.OffsetFlag = offsetFlag;
    r.OrderType = orderType_;
    if (copy) {
      applyPricing(r, copied);
    } else {
      order->snapshot = snapshot;
      priceRecord(r, snapshot, price_);
    }
  }
  if (previous_ != nullptr) {
    HolderWriteGuard<OrderHolder> guard(previous_);
    previous_->record.NextOrder = &order->record;
  } else {
    first_ = order;
  }
  previous_ = order;
  if (sizing_) {
    sizing_ = false;
    const InstrumentInfo* sized = instrument != nullptr ? instrument : order->instrument;
    double price;
    {
      HolderReadGuard<OrderHolder> guard(order);
      price = order->record.OriginalPrice;
    }
    const int32_t volume = sized != nullptr ? volumeForAmount(amount_, price, *sized) : -1;
    if (volume < 0) {
      ended_ = true;
      setVolume(*order, 0);
    } else {
      remaining_ = volume;
    }
  }
  return order;
}

bool OrderEngine::EntryCall::setVolume(OrderHolder& order, int32_t volume) {
  HolderWriteGuard<OrderHolder> guard(&order);
  if (volume < 1) {
    order.record.OriginalVolume = 0;
    order.record.ErrorID = kErrVolumeBelowOne;
    return false;
  }
  order.record.OriginalVolume = volume;
  return true;
}

int32_t OrderEngine::EntryCall::send(OrderHolder& order, bool closeFrozen) {
  int32_t volume;
  {
    HolderReadGuard<OrderHolder> guard(&order);
    volume = order.record.OriginalVolume;
  }
  const int32_t result = engine_.placeOrder(&order, closeFrozen);
  remaining_ -= volume;
  ++sent_;
  return result;
}

int32_t OrderEngine::EntryCall::openBudget(const InstrumentInfo& instrument,
                                           OrderHolder& order) const {
  double price;
  bool isLimitOrder;
  {
    HolderReadGuard<OrderHolder> guard(&order);
    price = order.record.OriginalPrice;
    isLimitOrder = order.record.IsLimitOrder;
  }
  return openVolumeBudget(engine_.usableCash(), price, instrument,
                          volumeLimits(instrument, isLimitOrder).max);
}

void OrderEngine::EntryCall::holdBack(InstrumentInfo* instrument, PositionHolder* position,
                                      bool sells, char offsetFlag, int32_t volume) {
  OrderHolder* order = make(instrument, position, nullptr, nullptr, sells, offsetFlag);
  {
    HolderWriteGuard<OrderHolder> guard(order);
    order->record.OriginalVolume = volume;
    order->record.ErrorID = kErrBeyondCallLimit;
  }
  remaining_ = 0;
  ended_ = true;
}

OrderEngine::EntryCall::CloseEnd OrderEngine::EntryCall::close(InstrumentInfo& instrument,
                                                              PositionHolder& position,
                                                              bool sells, bool todayFirst) {
  for (const CloseStep& step : closePlan(instrument.closeMode, todayFirst)) {
    for (;;) {
      int32_t available;
      {
        HolderReadGuard<PositionHolder> guard(&position);
        available = closableVolume(position.record, sells, step.slot);
      }
      if (available <= 0) break;
      if (atOrderLimit()) {
        holdBack(&instrument, &position, sells, step.offsetFlag, remaining_);
        return CloseEnd::kStopped;
      }
      OrderHolder* order = make(&instrument, &position, nullptr, nullptr, sells, step.offsetFlag);
      if (ended_) return CloseEnd::kStopped;
      // Sized and frozen in one hold of the position, from its closable volume read afresh.
      int32_t volume;
      {
        HolderWriteGuard<OrderHolder> orderGuard(order);
        HolderWriteGuard<PositionHolder> positionGuard(&position);
        available = closableVolume(position.record, sells, step.slot);
        volume = closeLimit(remaining_, available,
                            volumeLimits(instrument, order->record.IsLimitOrder));
        if (volume >= 1) {
          order->record.OriginalVolume = volume;
          engine_.freezeClose(position, volume, sells, step.offsetFlag);
        }
      }
      if (!setVolume(*order, volume)) return CloseEnd::kStopped;
      const int32_t result = send(*order, true);
      if (remaining_ < 1) return CloseEnd::kVolumeUsed;
      if (result != 0) return CloseEnd::kStopped;
      // A step cut by the maximum volume is taken again: its closable volume has fallen by what
      // the order just froze.
      if (volume >= available) break;
    }
  }
  return CloseEnd::kStepsDone;
}

void OrderEngine::EntryCall::open(InstrumentInfo& instrument, PositionHolder* position,
                                  bool sells) {
  bool budgeted = false;
  int32_t heldBack = 0;
  for (;;) {
    if (!sizing_ && remaining_ <= 0) break;
    if (atOrderLimit()) {
      heldBack += remaining_;
      break;
    }
    OrderHolder* order = make(&instrument, position, nullptr, nullptr, sells, kOffsetOpen);
    if (ended_) return;
    if (!budgeted) {
      budgeted = true;
      const int32_t budget = openBudget(instrument, *order);
      if (remaining_ > budget) {
        heldBack = remaining_ - budget;
        remaining_ = budget;
      }
    }
    bool isLimitOrder;
    {
      HolderReadGuard<OrderHolder> guard(order);
      isLimitOrder = order->record.IsLimitOrder;
    }
    const int32_t volume =
        remaining_ < 1 ? 0 : openLimit(remaining_, volumeLimits(instrument, isLimitOrder));
    if (!setVolume(*order, volume)) break;
    if (send(*order, false) != 0 || remaining_ < 1) break;
  }
  if (heldBack > 0) holdBack(&instrument, position, sells, kOffsetOpen, heldBack);
}

OrderHolder* OrderEngine::EntryCall::single(InstrumentInfo* instrument, const char* exchangeId,
                                            const char* instrumentId, bool sells,
                                            char offsetFlag, int32_t volume) {
  OrderHolder* order = make(instrument, nullptr, exchangeId, instrumentId, sells, offsetFlag);
  {
    HolderWriteGuard<OrderHolder> guard(order);
    order->record.OriginalVolume = volume;
  }
  send(*order, false);
  return order;
}

}  // namespace qv

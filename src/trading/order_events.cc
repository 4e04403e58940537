#include "bridge/raise.h"
#include "trading/cash_ratio.h"
#include "trading/order_engine.h"

namespace qv {
namespace {

constexpr char kOffsetOpen = '0';
constexpr char kDirectionSell = '1';

}  // namespace

void OrderEngine::enterOrder(OrderHolder* order) {
  WriteGuard guard(orderBookLock_);
  allOrders_.emplace(order->record.OrderID, order);
}

void OrderEngine::releaseFreeze(OrderHolder& order, int32_t volume) {
  if (volume <= 0) return;
  const CQVOrderField& record = order.record;
  if (record.OffsetFlag == kOffsetOpen) {
    if (const InstrumentInfo* instrument = order.instrument) {
      addUsableCash(volume * record.OriginalPrice * instrument->VolumeMultiple *
                    cashRatio(*instrument, record.Direction, record.OffsetFlag));
    }
  } else if (order.position != nullptr) {
    freezeClose(*order.position, -volume, record.Direction == kDirectionSell, record.OffsetFlag);
  }
}

void OrderEngine::raiseOrderEvent(int32_t eventId, OrderHolder& order) {
  CallableSlot* slot = orderEventSlot(eventId);
  if (slot == nullptr) return;
  const bool carriesCash = eventId != kEventInsertRejected && eventId != kEventCancelRejected;
  const CQVPositionField* position = order.position != nullptr ? &order.position->record : nullptr;
  bridge::raiseOrderEvent(*slot, eventId, &order.record, position,
                          carriesCash ? usableCash() : 0.0);
}

}  // namespace qv

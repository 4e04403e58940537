// The order engine's bookkeeping around events: entering orders in allOrders, giving back what an
// unfilled part froze, and raising an order event with its order, position and usable cash.
#include "bridge/raise.h"
#include "trading/cash_ratio.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"

namespace qv {

void OrderEngine::enterOrder(OrderHolder* order) {
  int32_t orderId;
  {
    HolderReadGuard<OrderHolder> guard(order);
    orderId = order->record.OrderID;
  }
  WriteGuard guard(orderBookLock_);
  allOrders_.emplace(orderId, order);
}

void OrderEngine::releaseFreeze(OrderHolder& order, int32_t volume) {
  if (volume <= 0) return;
  if (order.record.OffsetFlag == kOffsetOpen) {
    if (const InstrumentInfo* instrument = order.instrument) {
      addUsableCash(volume * order.record.OriginalPrice * instrument->VolumeMultiple *
                    cashRatio(*instrument, order.record.Direction, order.record.OffsetFlag));
    }
  } else if (order.position != nullptr) {
    freezeClose(*order.position, -volume, order.record.Direction == kDirectionSell,
                order.record.OffsetFlag);
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

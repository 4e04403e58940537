// Making orders and sending one order (slot 1): identity, stamping, the freeze of what the order
// takes while it works, and the refusal path.
//
// The freeze is booked before the library sees the order: the library's callback thread may
// report a fill or a cancellation of the order before the library call returns here, and that
// report gives the frozen volume or cash back; booked afterwards, the freeze would outlive the
// order. A refused request gives the freeze back at once.
#include "base/clock.h"
#include "base/text.h"
#include "bridge/event_messages.h"
#include "trading/cash_ratio.h"
#include "trading/error_codes.h"
#include "trading/instrument_table.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/order_report_fields.h"
#include "trading/trading_day.h"

namespace qv {
namespace {


int32_t orderIdFor(int32_t n, int32_t orderMark) { return n * 100 + orderMark + 100; }

}  // namespace

OrderHolder* OrderEngine::makeOrder(int16_t orderMark, InstrumentInfo* instrument,
                                    PositionHolder* position, const char* exchangeId,
                                    const char* instrumentId) {
  auto* order = new OrderHolder{};
  order->instrument = instrument;
  order->position = position;
  {
    // No other thread knows the order yet; the lock is taken so that every write to a record is
    // made under its lock, and released before the order-book lock is taken.
    HolderWriteGuard<OrderHolder> guard(order);
    CQVOrderField& r = order->record;
    if (instrument != nullptr) {
      copyText(r.ExchangeID, instrument->ExchangeID);
      copyText(r.StandardID, instrument->InstrumentID);
      copyText(order->instrumentKey, instrument->key);
    } else {
      copyText(r.ExchangeID, exchangeId);
      copyText(r.StandardID, instrumentId);
      makeInstrumentKey(order->instrumentKey, instrumentId, exchangeId);
    }
    copyTradingDay(r.TradingDay);
    copyText(r.UserID, login().UserID);
    r.OrderMark = orderMark;
    r.OrderID = orderIdFor(orderCounter_.fetch_add(1, std::memory_order_relaxed), orderMark);
  }
  enterOrder(order);
  return order;
}

void OrderEngine::resolveLinks(OrderHolder& order) {
  if (order.instrument == nullptr) order.instrument = instrumentTable().find(order.instrumentKey);
  if (order.snapshot == nullptr) {
    if (SnapshotMap* snapshots = snapshotMap()) order.snapshot = snapshots->find(order.instrumentKey);
  }
  if (order.position == nullptr) {
    order.position = positionFor(order.instrumentKey, true, order.instrument, order.snapshot,
                                 order.record.ExchangeID, order.record.StandardID);
  }
}

void OrderEngine::freezeFor(OrderHolder& order) {
  const int32_t volume = order.record.OriginalVolume;
  if (volume <= 0) return;
  if (order.record.OffsetFlag == kOffsetOpen) {
    if (const InstrumentInfo* instrument = order.instrument) {
      addUsableCash(-(volume * order.record.OriginalPrice * instrument->VolumeMultiple *
                      cashRatio(*instrument, order.record.Direction, order.record.OffsetFlag)));
    }
  } else if (order.position != nullptr) {
    freezeClose(*order.position, volume, order.record.Direction == kDirectionSell,
                order.record.OffsetFlag);
  }
}

int32_t OrderEngine::insertOrder(OrderHolder* order) { return placeOrder(order, false); }

int32_t OrderEngine::placeOrder(OrderHolder* order, bool closeFrozen) {
  if (order == nullptr) return -1;
  CQVOrderField& r = order->record;
  {
    HolderWriteGuard<OrderHolder> guard(order);
    if (r.OrderID == 0) {
      r.OrderID = orderIdFor(orderCounter_.fetch_add(1, std::memory_order_relaxed), r.OrderMark);
    }
    r.OrderLocalTime = nowMicros();
    copyText(r.UserID, login().UserID);
    r.SessionID = sessionId_.load(std::memory_order_relaxed);
    r.FrontID = frontId_.load(std::memory_order_relaxed);
    if (order->instrumentKey[0] == '\0') {
      makeInstrumentKey(order->instrumentKey, r.StandardID, r.ExchangeID);
    }
    resolveLinks(*order);
    r.OrderStatus = kStatusSent;
    if (!closeFrozen || r.OffsetFlag == kOffsetOpen) freezeFor(*order);
  }
  const int32_t result = sendOrderRequest(*order);
  if (result != 0) {
    HolderWriteGuard<OrderHolder> guard(order);
    releaseFreeze(*order, r.OriginalVolume);
    r.OrderStatus = kStatusRejected;
    r.ErrorID = kErrSendFailed;
    writeInsertFailure(r, kErrSendFailed, kFailToSendMessage);
    raiseOrderEvent(kEventInsertRejected, *order);
  }
  enterOrder(order);
  return result;
}

}  // namespace qv

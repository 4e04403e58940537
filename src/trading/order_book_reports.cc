// The order book's handling of order reports (OnRtnOrder), refused insertions and refused
// cancellations, and the upkeep of workingOrders. Runs on the trader library's callback thread.
#include "base/text.h"
#include "trading/error_codes.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/order_lock.h"
#include "trading/order_report_fields.h"

namespace qv {
namespace {

void fillTimes(CQVOrderField& record, const CThostFtdcOrderField& report) {
  copyReportTextIfEmpty(record.OrderSysID, report.OrderSysID);
  copyReportTextIfEmpty(record.InsertTime, report.InsertTime);
  copyReportText(record.UpdateTime, report.UpdateTime);
}

}  // namespace

OrderEngine::OrderLock::OrderLock(OrderEngine& engine, OrderHolder& order, bool resolve)
    : orderGuard_(&order),
      position_(resolve ? engine.resolvePosition(order) : order.position),
      positionGuard_(position_) {}

PositionHolder* OrderEngine::resolvePosition(OrderHolder& order) {
  if (order.position != nullptr || order.instrumentKey[0] == '\0') return order.position;
  order.position = positionFor(order.instrumentKey, true, order.instrument, order.snapshot,
                               order.record.ExchangeID, order.record.StandardID);
  return order.position;
}

bool OrderEngine::reportSessionMatches(OrderHolder& order, int32_t frontId, int32_t sessionId) {
  if (frontId == 0 && sessionId == 0) return true;
  if (frontId == frontId_.load(std::memory_order_relaxed) &&
      sessionId == sessionId_.load(std::memory_order_relaxed)) {
    return true;
  }
  HolderReadGuard<OrderHolder> guard(&order);
  return frontId == order.record.FrontID && sessionId == order.record.SessionID;
}

void OrderEngine::enterWorking(OrderHolder* order) {
  int32_t orderId;
  {
    HolderReadGuard<OrderHolder> guard(order);
    orderId = order->record.OrderID;
  }
  WriteGuard guard(orderBookLock_);
  workingOrders_.emplace(orderId, order);
}

void OrderEngine::leaveWorking(int32_t orderId) {
  WriteGuard guard(orderBookLock_);
  workingOrders_.erase(orderId);
}

void OrderEngine::onOrderReport(const CThostFtdcOrderField& report) {
  int32_t orderId = 0;
  if (!parseOrderRef(report.OrderRef, orderId) || !isOwnOrderRef(orderId)) return;
  OrderHolder* order = findOrder(orderId);
  if (order == nullptr || !reportSessionMatches(*order, report.FrontID, report.SessionID)) return;

  if (report.OrderSubmitStatus == kSubmitInsertRejected) {
    OrderLock lock(*this, *order, false);
    CQVOrderField& record = order->record;
    if (record.OrderStatus == kStatusRejected) return;
    releaseFreeze(*order, record.OriginalVolume);
    fillTimes(record, report);
    record.OrderStatus = kStatusRejected;
    record.ErrorID = kErrInsertRejected;
    char statusMessage[sizeof report.StatusMsg + 1];
    copyReportText(statusMessage, report.StatusMsg);
    writeInsertFailure(record, kErrInsertRejected, statusMessage);
    raiseOrderEvent(kEventInsertRejected, *order);
    return;
  }

  switch (report.OrderStatus) {
    case kReportAllTraded:
    case kReportPartTradedQueueing: {
      bool nowWorking = false;
      {
        OrderLock lock(*this, *order, true);
        CQVOrderField& record = order->record;
        fillTimes(record, report);
        record.TradedVolumeChange = report.VolumeTraded - record.TradedVolume;
        if (record.TradedVolumeChange > 0) {
          record.TradedVolume = report.VolumeTraded;
          record.TurnoverChange = 0;
          record.TradedVolumeChangeOfTurnover = 0;
          // Canceled lots leave the frozen counters only on the cancel path.
          if (lock.position() != nullptr) {
            applyFill(*order->position, record.TradedVolumeChange, 0, 0.0, record.Direction,
                      record.OffsetFlag, false);
          }
          if (report.OrderStatus == kReportAllTraded) {
            record.OrderStatus = kStatusFinished;
          } else if (record.OrderStatus == kStatusSent) {
            // Part traded and queueing: the order works at the exchange even when its
            // acceptance report was never seen.
            record.OrderStatus = kStatusWorking;
            nowWorking = true;
          }
          raiseOrderEvent(kEventTraded, *order);
        }
      }
      if (report.OrderStatus == kReportAllTraded) {
        leaveWorking(orderId);
      } else if (nowWorking) {
        enterWorking(order);
      }
      return;
    }
    case kReportNoTradeQueueing: {
      // The order joins the working set before its Accepted event, so that a callable cancelling
      // from inside the event (cancelOrderAll and the other walks) finds it.
      enterWorking(order);
      OrderLock lock(*this, *order, false);
      fillTimes(order->record, report);
      order->record.OrderStatus = kStatusWorking;
      raiseOrderEvent(kEventAccepted, *order);
      return;
    }
    case kReportCanceled: {
      {
        OrderLock lock(*this, *order, true);
        CQVOrderField& record = order->record;
        if (record.OrderStatus != kStatusFinished) {
          fillTimes(record, report);
          record.OrderStatus = kStatusFinished;
          // Trades this report counts that no report has counted yet. VolumeTotal is not part of
          // it: fronts that keep the untraded remainder there would count canceled lots as traded.
          const int32_t late = report.VolumeTraded - record.TradedVolume;
          record.TradedVolumeChange = late;
          if (late > 0) {
            record.TradedVolume += late;
            record.CanceledVolume = record.OriginalVolume - record.TradedVolume;
            record.TurnoverChange = 0;
            record.TradedVolumeChangeOfTurnover = 0;
            // The fill releases the canceled lots of a closing order from the frozen counters.
            if (lock.position() != nullptr) {
              applyFill(*order->position, late, record.CanceledVolume, 0.0, record.Direction,
                        record.OffsetFlag, false);
            }
            raiseOrderEvent(kEventTraded, *order);
            // An opening order's canceled remainder gives back its frozen cash, as on the plain
            // cancel path below.
            if (record.OffsetFlag == kOffsetOpen) releaseFreeze(*order, record.CanceledVolume);
            raiseOrderEvent(kEventCanceled, *order);
          } else {
            record.CanceledVolume = record.OriginalVolume - record.TradedVolume;
            if (record.CanceledVolume > 0) {
              releaseFreeze(*order, record.CanceledVolume);
              raiseOrderEvent(kEventCanceled, *order);
            }
          }
        }
      }
      leaveWorking(orderId);
      return;
    }
    default:
      return;
  }
}

void OrderEngine::onInsertRefused(const CThostFtdcInputOrderField& input, int32_t errorId,
                                  const char* errorMessage) {
  int32_t orderId = 0;
  if (!parseOrderRef(input.OrderRef, orderId) || !isOwnOrderRef(orderId)) return;
  OrderHolder* order = findOrder(orderId);
  if (order == nullptr) return;
  OrderLock lock(*this, *order, false);
  CQVOrderField& record = order->record;
  if (record.OrderStatus == kStatusRejected) return;
  releaseFreeze(*order, record.OriginalVolume);
  record.OrderStatus = kStatusRejected;
  record.ErrorID = errorId;
  writeInsertFailure(record, errorId, errorMessage);
  raiseOrderEvent(kEventInsertRejected, *order);
}

void OrderEngine::onCancelRefused(const char* orderRef, int32_t actionId, int32_t errorId,
                                  const char* errorMessage) {
  int32_t orderId = 0;
  if (orderRef == nullptr ||
      !parseOrderRef(orderRef, strnlen(orderRef, sizeof(TThostFtdcOrderRefType)), orderId) ||
      !isOwnOrderRef(orderId)) {
    return;
  }
  OrderHolder* order = findOrder(orderId);
  if (order == nullptr) return;
  OrderLock lock(*this, *order, false);
  // The response and the error return of one refused request are one refusal.
  if (actionId != 0 && order->refusedAction == actionId) return;
  order->refusedAction = actionId;
  writeCancelFailure(order->record, errorId, errorMessage);
  raiseOrderEvent(kEventCancelRejected, *order);
}

}  // namespace qv

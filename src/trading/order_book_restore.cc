// Restoring the order book from the start-up order and trade queries, which run again after every
// reconnect. An order found again is updated in place; a trade is added to its order's turnover
// only when neither a live report nor an earlier restore has counted it, so a reconnect leaves
// Turnover, TradedVolumeOfTurnover and AverageCost as they were. Runs on the trader library's
// callback thread while the session is connected ('3').
#include "base/text.h"
#include "trading/instrument_key.h"
#include "trading/instrument_table.h"
#include "trading/error_codes.h"
#include "trading/order_engine.h"
#include "trading/order_report_fields.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

constexpr char kSubmitInsertRejected = '4';
constexpr char kReportAllTraded = '0';
constexpr char kReportPartTradedQueueing = '1';
constexpr char kReportNoTradeQueueing = '3';
constexpr char kReportCanceled = '5';
constexpr char kStatusWorking = '3';
constexpr char kStatusFinished = '4';
constexpr char kStatusRejected = '5';
constexpr int32_t kOrderIdsPerCounter = 100;
constexpr int64_t kRestoredLocalTime = -1;

}  // namespace

void OrderEngine::restoreOrder(const CThostFtdcOrderField& report) {
  int32_t orderId = 0;
  if (!parseOrderRef(report.OrderRef, orderId) || !isOwnOrderRef(orderId)) return;

  // New OrderIDs follow the restored ones.
  const int32_t counter = orderId / kOrderIdsPerCounter;
  int32_t current = orderCounter_.load(std::memory_order_relaxed);
  while (current < counter &&
         !orderCounter_.compare_exchange_weak(current, counter, std::memory_order_relaxed)) {
  }

  char instrumentId[sizeof report.InstrumentID + 1];
  char exchangeId[sizeof report.ExchangeID + 1];
  copyReportText(instrumentId, report.InstrumentID);
  copyReportText(exchangeId, report.ExchangeID);

  OrderHolder* order = findOrder(orderId);
  const bool made = order == nullptr;
  if (made) {
    order = new OrderHolder{};
    makeInstrumentKey(order->instrumentKey, instrumentId, exchangeId);
    order->instrument = instrumentTable().find(order->instrumentKey);
    if (SnapshotMap* snapshots = snapshotMap()) order->snapshot = snapshots->find(order->instrumentKey);
    order->position = positionFor(order->instrumentKey, true, order->instrument, order->snapshot,
                                  exchangeId, instrumentId);
    order->record.OrderID = orderId;
  }

  bool working = false;
  {
    HolderWriteGuard<OrderHolder> guard(order);
    CQVOrderField& record = order->record;
    copyTradingDay(record.TradingDay);
    copyText(record.UserID, login().UserID);
    record.SessionID = report.SessionID;
    record.FrontID = report.FrontID;
    copyText(record.ExchangeID, exchangeId);
    copyText(record.StandardID, instrumentId);
    record.Direction = report.Direction;
    record.OffsetFlag = report.CombOffsetFlag[0];
    record.OrderID = orderId;
    record.OrderMark = orderId % kOrderIdsPerCounter;
    record.OriginalVolume = report.VolumeTotalOriginal;
    record.OriginalPrice = report.LimitPrice;
    // An order this process sent keeps the time it was sent.
    if (made) record.OrderLocalTime = kRestoredLocalTime;
    copyReportText(record.OrderSysID, report.OrderSysID);
    copyReportText(record.InsertTime, report.InsertTime);
    record.TradedVolumeChange = 0;
    record.TradedVolume = report.VolumeTraded;
    if (report.OrderSubmitStatus == kSubmitInsertRejected) {
      record.OrderStatus = kStatusRejected;
      record.ErrorID = kErrInsertRejected;
      char statusMessage[sizeof report.StatusMsg + 1];
      copyReportText(statusMessage, report.StatusMsg);
      writeInsertFailure(record, kErrInsertRejected, statusMessage);
    } else {
      switch (report.OrderStatus) {
        case kReportCanceled:
          record.OrderStatus = kStatusFinished;
          copyReportText(record.UpdateTime, report.CancelTime);
          record.CanceledVolume = report.VolumeTotalOriginal - report.VolumeTraded;
          break;
        case kReportPartTradedQueueing:
        case kReportNoTradeQueueing:
          record.OrderStatus = kStatusWorking;
          copyReportText(record.UpdateTime, report.UpdateTime);
          working = true;
          break;
        case kReportAllTraded:
          record.OrderStatus = kStatusFinished;
          break;
        default:
          break;
      }
    }
  }
  if (made) enterOrder(order);
  if (working) {
    enterWorking(order);
  } else {
    leaveWorking(orderId);
  }
}

void OrderEngine::restoreTrade(const CThostFtdcTradeField& trade) {
  int32_t orderId = 0;
  if (!parseOrderRef(trade.OrderRef, orderId)) return;
  OrderHolder* order = findOrder(orderId);
  if (order == nullptr || !countTradeOnce(trade)) return;
  HolderWriteGuard<OrderHolder> guard(order);
  CQVOrderField& record = order->record;
  // The same money unit as live trades (price x volume x multiple), so that the average cost stays
  // a price when live trades follow restored ones.
  addTradeTurnover(record, trade, multiplierOf(order->instrument));
}

}  // namespace qv

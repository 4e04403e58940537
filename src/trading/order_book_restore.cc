// Restoring the order book from the start-up order and trade queries, which run again after every
// reconnect. An order the query shows for the first time is restored silently, as it stands at the
// server. An order the book held already may have moved while the front was down: its query record
// is kept until the trade query has answered, and the trades the book has not counted go through
// the live trade path first (Traded and UpdateCost with each trade's own price), then the order's
// last state through the live order path (Accepted, Canceled, InsertRejected, or Traded for volume
// no trade record explained). So the host hears of every fill once, whether or not the front was
// up when it happened. An order sent in an earlier session that never got an answer and that the
// query does not list never reached the server: it is rejected (-1002200) and its freeze released. Runs on the trader library's callback thread while the session is
// connected ('3').
#include <vector>

#include "base/text.h"
#include "trading/instrument_key.h"
#include "trading/instrument_table.h"
#include "trading/error_codes.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/order_lock.h"
#include "trading/order_report_fields.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

constexpr int32_t kOrderIdsPerCounter = 100;
constexpr int64_t kRestoredLocalTime = -1;
constexpr char kLostMessage[] = "Error:Lost With The Connection.";

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
  {
    SpinFlagGuard guard(restoreFlag_);
    listedOrders_.insert(orderId);
  }
  if (order != nullptr) {
    SpinFlagGuard guard(restoreFlag_);
    if (freshRestores_.count(orderId) == 0) {
      missedReports_[orderId] = report;
      return;
    }
  }
  const bool made = order == nullptr;
  if (made) {
    order = new OrderHolder{};
    makeInstrumentKey(order->instrumentKey, instrumentId, exchangeId);
    order->instrument = instrumentTable().find(order->instrumentKey);
    if (SnapshotMap* snapshots = snapshotMap()) order->snapshot = snapshots->find(order->instrumentKey);
    order->position = positionFor(order->instrumentKey, true, order->instrument, order->snapshot,
                                  exchangeId, instrumentId);
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
  if (made) {
    enterOrder(order);
    SpinFlagGuard guard(restoreFlag_);
    freshRestores_.insert(orderId);
  }
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
  if (order == nullptr) return;
  bool fresh = false;
  {
    SpinFlagGuard guard(restoreFlag_);
    fresh = freshRestores_.count(orderId) != 0;
  }
  if (!countTradeOnce(trade)) return;
  if (!fresh) {
    // A fill the book missed while the front was down.
    applyOwnTrade(order, orderId, trade);
    return;
  }
  HolderWriteGuard<OrderHolder> guard(order);
  CQVOrderField& record = order->record;
  // The same money unit as live trades (price x volume x multiple), so that the average cost stays
  // a price when live trades follow restored ones.
  addTradeTurnover(record, trade, multiplierOf(order->instrument));
}

void OrderEngine::finishOrderRestore() {
  std::unordered_map<int32_t, CThostFtdcOrderField> missed;
  std::unordered_set<int32_t> listed;
  bool listingComplete = false;
  {
    SpinFlagGuard guard(restoreFlag_);
    missed.swap(missedReports_);
    listed.swap(listedOrders_);
    freshRestores_.clear();
    listingComplete = orderListingComplete_;
    orderListingComplete_ = false;
  }
  for (const auto& [orderId, report] : missed) {
    OrderHolder* order = findOrder(orderId);
    if (order == nullptr) continue;
    if (report.OrderSubmitStatus != kSubmitInsertRejected &&
        report.OrderStatus == kReportNoTradeQueueing) {
      // Only an order still waiting for its first answer learns that it works.
      HolderReadGuard<OrderHolder> guard(order);
      if (order->record.OrderStatus != kStatusSent) continue;
    }
    onOrderReport(report);
  }
  // Only a whole answer of the order query tells which orders the server does not have.
  if (listingComplete) rejectLostOrders(listed);
}

void OrderEngine::finishOrderQuery() {
  SpinFlagGuard guard(restoreFlag_);
  orderListingComplete_ = true;
}

void OrderEngine::rejectLostOrders(const std::unordered_set<int32_t>& listed) {
  const int32_t frontId = frontId_.load(std::memory_order_relaxed);
  const int32_t sessionId = sessionId_.load(std::memory_order_relaxed);
  std::vector<OrderHolder*> unanswered;
  {
    ReadGuard guard(orderBookLock_);
    for (const auto& [orderId, order] : allOrders_) {
      if (listed.count(orderId) == 0) unanswered.push_back(order);
    }
  }
  for (OrderHolder* order : unanswered) {
    OrderLock lock(*this, *order, false);
    CQVOrderField& record = order->record;
    // Sent in an earlier session and never answered: the request went down with the connection.
    // Orders of this session may simply be younger than the query.
    if (record.OrderStatus != kStatusSent ||
        (record.FrontID == frontId && record.SessionID == sessionId)) {
      continue;
    }
    releaseFreeze(*order, record.OriginalVolume);
    record.OrderStatus = kStatusRejected;
    record.ErrorID = kErrSendFailed;
    writeInsertFailure(record, kErrSendFailed, kLostMessage);
    raiseOrderEvent(kEventInsertRejected, *order);
  }
}

}  // namespace qv

// The order book at a trading-day boundary. Trade ids and working orders belong to their trading
// day: when a login reports a later day, the trades counted so far are forgotten (the exchange
// numbers the new day's trades afresh) and orders of earlier days that still looked working have
// expired with their day; the new day's queries, which follow the login, rebuild the rest. Runs on
// the trader library's callback thread.
#include <cstring>
#include <vector>

#include "base/text.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/order_lock.h"

namespace qv {

void OrderEngine::beginTradingDay(const char* day) {
  if (day == nullptr || day[0] == '\0') return;
  char next[sizeof bookDay_];
  copyText(next, day);
  {
    SpinFlagGuard guard(countedTradesFlag_);
    if (std::strcmp(next, bookDay_) <= 0) return;
    std::memcpy(bookDay_, next, sizeof bookDay_);
    countedTrades_.clear();
  }
  {
    SpinFlagGuard guard(restoreFlag_);
    missedReports_.clear();
    freshRestores_.clear();
    listedOrders_.clear();
  }
  std::vector<int32_t> expired;
  for (OrderHolder* order : listWorkingOrders()) {
    OrderLock lock(*this, *order, false);
    CQVOrderField& record = order->record;
    if (record.OrderStatus == kStatusFinished ||
        std::strncmp(record.TradingDay, next, sizeof record.TradingDay) >= 0) {
      continue;
    }
    record.OrderStatus = kStatusFinished;
    record.TradedVolumeChange = 0;
    record.CanceledVolume = record.OriginalVolume - record.TradedVolume;
    expired.push_back(record.OrderID);
    // Frozen cash and lots are not given back here: the new day's account and position queries
    // state them afresh.
    raiseOrderEvent(kEventCanceled, *order);
  }
  for (int32_t orderId : expired) leaveWorking(orderId);
}

}  // namespace qv

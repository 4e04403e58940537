// The order book's handling of trade reports (OnRtnTrade): own trades update their order's
// turnover and costs (and its traded volume when no order report has counted it yet), trades of
// orders this client does not hold go straight to the position. Each trade is counted once, so a
// replayed report changes nothing. Runs on the trader library's callback thread.
#include <string>

#include "base/text.h"
#include "trading/cash_ratio.h"
#include "trading/instrument_key.h"
#include "trading/order_codes.h"
#include "trading/order_engine.h"
#include "trading/order_lock.h"
#include "trading/order_report_fields.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

bool sameText(const char* recorded, const char* reported, size_t width) {
  return strncmp(recorded, reported, width) == 0;
}

}  // namespace

bool OrderEngine::countTradeOnce(const CThostFtdcTradeField& trade) {
  char tradeId[sizeof trade.TradeID + 1];
  copyReportText(tradeId, trade.TradeID);
  if (tradeId[strspn(tradeId, " ")] == '\0') return true;
  char exchangeId[sizeof trade.ExchangeID + 1];
  copyReportText(exchangeId, trade.ExchangeID);
  // Exchanges number trades afresh every trading day: the day is part of the identity.
  char tradingDay[sizeof trade.TradingDay + 1];
  copyReportText(tradingDay, trade.TradingDay);
  std::string identity = tradingDay[0] != '\0' ? std::string(tradingDay) : currentTradingDay();
  identity += '\n';
  identity += exchangeId;
  identity += '\n';
  identity += tradeId;
  identity += '\n';
  identity += trade.Direction;
  SpinFlagGuard guard(countedTradesFlag_);
  return countedTrades_.insert(std::move(identity)).second;
}

bool OrderEngine::applyOwnTrade(OrderHolder* order, int32_t orderId,
                                const CThostFtdcTradeField& trade) {
  bool own = false;
  bool finished = false;
  bool nowWorking = false;
  {
    OrderLock lock(*this, *order, true);
    CQVOrderField& record = order->record;
    own = record.OrderSysID[0] == '\0' ||
          sameText(record.OrderSysID, trade.OrderSysID, sizeof trade.OrderSysID);
    if (own) {
      const InstrumentInfo* instrument =
          order->instrument != nullptr
              ? order->instrument
              : (lock.position() != nullptr ? lock.position()->instrument : nullptr);
      const double multiplier = multiplierOf(instrument);
      if (instrument != nullptr) {
        const double margin =
            trade.Volume * multiplier * cashRatio(*instrument, trade.Direction, trade.OffsetFlag);
        // An opening trade gives back the difference between the margin frozen at the order's
        // price and the margin at the traded price; a closing trade frees its margin.
        addUsableCash(trade.OffsetFlag == kOffsetOpen
                          ? (record.OriginalPrice - trade.Price) * margin
                          : trade.Price * margin);
      }
      addTradeTurnover(record, trade, multiplier);
      const bool ahead = record.TradedVolume < record.TradedVolumeOfTurnover;
      if (ahead) {
        // No order report has counted this trade yet.
        record.TradedVolumeChange = trade.Volume;
        record.TradedVolume += trade.Volume;
        copyReportTextIfEmpty(record.OrderSysID, trade.OrderSysID);
        if (record.TradedVolume == record.OriginalVolume) {
          record.OrderStatus = kStatusFinished;
          finished = true;
        } else if (record.OrderStatus != kStatusWorking) {
          record.OrderStatus = kStatusWorking;
          nowWorking = true;
        }
        copyReportText(record.UpdateTime, trade.TradeTime);
      } else {
        record.TradedVolumeChange = 0;
      }
      // Canceled lots left the frozen counters on the cancel path; only traded lots leave here.
      if (lock.position() != nullptr) {
        applyFill(*order->position, ahead ? trade.Volume : 0, 0, record.TurnoverChange,
                  record.Direction, record.OffsetFlag, true);
      }
      if (ahead) raiseOrderEvent(kEventTraded, *order);
      raiseOrderEvent(kEventUpdateCost, *order);
    }
  }
  if (finished) leaveWorking(orderId);
  if (nowWorking) enterWorking(order);
  return own;
}

void OrderEngine::onTradeReport(const CThostFtdcTradeField& trade) {
  if (!countTradeOnce(trade)) return;
  int32_t orderId = 0;
  OrderHolder* order = parseOrderRef(trade.OrderRef, orderId) ? findOrder(orderId) : nullptr;
  if (order != nullptr && applyOwnTrade(order, orderId, trade)) return;

  // A trade of an order this client does not hold (sent by another process or session).
  char instrumentId[sizeof trade.InstrumentID + 1];
  char exchangeId[sizeof trade.ExchangeID + 1];
  copyReportText(instrumentId, trade.InstrumentID);
  copyReportText(exchangeId, trade.ExchangeID);
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, instrumentId, exchangeId);
  PositionHolder* position = positionFor(key, true, nullptr, nullptr, exchangeId, instrumentId);
  if (position == nullptr) return;
  const InstrumentInfo* instrument = position->instrument;
  const double multiplier = multiplierOf(instrument);
  if (instrument != nullptr) {
    const double amount = trade.Volume * trade.Price * multiplier *
                          cashRatio(*instrument, trade.Direction, trade.OffsetFlag);
    addUsableCash(trade.OffsetFlag == kOffsetOpen ? -amount : amount);
  }
  HolderWriteGuard<PositionHolder> guard(position);
  applyFill(*position, trade.Volume, 0, trade.Volume * trade.Price * multiplier, trade.Direction,
            trade.OffsetFlag, true);
}

}  // namespace qv

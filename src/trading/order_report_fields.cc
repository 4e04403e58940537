#include "trading/order_report_fields.h"

#include <cstdio>

namespace qv {

bool parseOrderRef(const char* text, size_t width, int32_t& out) {
  size_t i = 0;
  while (i < width && text[i] == ' ') ++i;
  int64_t value = 0;
  size_t digits = 0;
  for (; i < width && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return false;
  }
  while (i < width && text[i] == ' ') ++i;
  if (digits == 0 || (i < width && text[i] != '\0')) return false;
  out = static_cast<int32_t>(value);
  return true;
}

namespace {

void writeFailure(CQVOrderField& r, const char* operation, const char* exchangeKey,
                  int32_t errorId, const char* errorMessage) {
  const char direction[2] = {r.Direction, '\0'};
  const char orderType[2] = {r.OrderType, '\0'};
  std::snprintf(r.Message, sizeof r.Message,
                "CTPTrader %s Failed. UserID:%.*s,%s:%.*s,StandardID:%.*s,OrderID:%d,"
                "Direction:%s,Volume:%d,OrderType:%s,Price:%f,ErrorID:%d,ErrorMsg:%s.",
                operation, static_cast<int>(sizeof r.UserID), r.UserID, exchangeKey,
                static_cast<int>(sizeof r.ExchangeID), r.ExchangeID,
                static_cast<int>(sizeof r.StandardID), r.StandardID, r.OrderID, direction,
                r.OriginalVolume, orderType, r.OriginalPrice, errorId,
                errorMessage != nullptr ? errorMessage : "");
}

}  // namespace

void writeInsertFailure(CQVOrderField& record, int32_t errorId, const char* errorMessage) {
  writeFailure(record, "InsertOrder", "ExchangeID", errorId, errorMessage);
}

void writeCancelFailure(CQVOrderField& record, int32_t errorId, const char* errorMessage) {
  writeFailure(record, "CancelOrder", "ExchagneID", errorId, errorMessage);
}

double multiplierOf(const InstrumentInfo* instrument) {
  return instrument != nullptr && instrument->VolumeMultiple != 0 ? instrument->VolumeMultiple
                                                                  : 1.0;
}

void addTradeTurnover(CQVOrderField& record, const CThostFtdcTradeField& trade, double multiplier) {
  record.LastTradedPrice = trade.Price;
  record.TradedVolumeChangeOfTurnover = trade.Volume;
  record.TradedVolumeOfTurnover += trade.Volume;
  record.TurnoverChange = trade.Volume * trade.Price * multiplier;
  record.Turnover += record.TurnoverChange;
  record.AverageCost = record.Turnover / (record.TradedVolumeOfTurnover * multiplier);
}

}  // namespace qv

// Reading CTP order reports and writing the failure texts of an order: helpers of the order book,
// pure functions on their arguments, safe on any thread. The caller holds the order's write lock
// while a text is written into its record.
#ifndef QV_TRADING_ORDER_REPORT_FIELDS_H
#define QV_TRADING_ORDER_REPORT_FIELDS_H

#include <cstddef>
#include <cstdint>

#include "ThostFtdcUserApiStruct.h"
#include "records/cqv_records.h"
#include "trading/instrument_info.h"

namespace qv {

// Reads an OrderRef (decimal, blanks around it allowed) from a fixed-width text that may fill its
// array without a terminator. False for an empty, non-numeric or out-of-range text.
bool parseOrderRef(const char* text, size_t width, int32_t& out);

template <size_t N>
bool parseOrderRef(const char (&text)[N], int32_t& out) {
  return parseOrderRef(text, N, out);
}

// Copies a fixed-width report text into `dst` when `dst` is still empty (the first report that
// carries it wins) or always, bounded by both widths.
template <size_t N, size_t M>
void copyReportText(char (&dst)[N], const char (&src)[M]) {
  size_t n = 0;
  while (n < M && n + 1 < N && src[n] != '\0') ++n;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  dst[n] = '\0';
}
template <size_t N, size_t M>
void copyReportTextIfEmpty(char (&dst)[N], const char (&src)[M]) {
  if (dst[0] == '\0') copyReportText(dst, src);
}

// "CTPTrader InsertOrder Failed. ..." into record.Message, with the record's user, exchange,
// instrument, order id, direction, volume, order type and price, then `errorId` and
// `errorMessage` (null counts as empty).
void writeInsertFailure(CQVOrderField& record, int32_t errorId, const char* errorMessage);

// "CTPTrader CancelOrder Failed. ..." with the same values; the key "ExchagneID" is spelt as the
// hosts that parse this text expect it.
void writeCancelFailure(CQVOrderField& record, int32_t errorId, const char* errorMessage);

// Contract size for money sums; 1 when the instrument is unknown, so that turnover is still the
// price times the volume.
double multiplierOf(const InstrumentInfo* instrument);

// Counts one trade into the order's turnover: LastTradedPrice, the turnover volumes, TurnoverChange
// (volume x price x multiplier), Turnover and AverageCost (a price).
void addTradeTurnover(CQVOrderField& record, const CThostFtdcTradeField& trade, double multiplier);

}  // namespace qv

#endif  // QV_TRADING_ORDER_REPORT_FIELDS_H

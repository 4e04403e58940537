// Order codes: the one-character values of an order's OrderStatus, Direction and OffsetFlag as this
// runtime writes them into CQVOrderField and CQVPositionField, and the values of the CTP order
// report (CThostFtdcOrderField) that the order book acts on. Direction and OffsetFlag are the
// CTP characters themselves; OrderStatus is the runtime's own short scale, which the host reads.
#ifndef QV_TRADING_ORDER_CODES_H
#define QV_TRADING_ORDER_CODES_H

namespace qv {

// CQVOrderField::OrderStatus. An order made but not yet handed to the library holds '\0'.
inline constexpr char kStatusSent = '1';      // handed to the library, no answer yet
inline constexpr char kStatusWorking = '3';   // accepted, working at the exchange
inline constexpr char kStatusFinished = '4';  // traded in full, canceled, or expired with its day
inline constexpr char kStatusRejected = '5';  // refused by the library, the broker or the exchange

// Direction.
inline constexpr char kDirectionBuy = '0';
inline constexpr char kDirectionSell = '1';

// OffsetFlag.
inline constexpr char kOffsetOpen = '0';
inline constexpr char kOffsetClose = '1';
inline constexpr char kOffsetCloseToday = '3';
inline constexpr char kOffsetCloseYesterday = '4';

// CThostFtdcOrderField::OrderStatus values the order book acts on.
inline constexpr char kReportAllTraded = '0';
inline constexpr char kReportPartTradedQueueing = '1';
inline constexpr char kReportNoTradeQueueing = '3';
inline constexpr char kReportCanceled = '5';

// CThostFtdcOrderField::OrderSubmitStatus: the insertion was rejected.
inline constexpr char kSubmitInsertRejected = '4';

}  // namespace qv

#endif  // QV_TRADING_ORDER_CODES_H

// Event text: the printed form of an event for which the host registered no callable, and the
// table of event ids and their printed names. The formatters run on the raising thread and build
// the text in local storage; only the hand-over (host_state.h) takes the interpreter lock.
//
// Layouts, byte for byte ("\n" is a line end):
//   response:  "-------\nEventName:" name "EventID:" id ",UserID:" user ",ErrorID:" error
//              ",Message:" message ".\n" "CTPField>>>\n" record "\n" "-------"
//   order:     "-------\nEventName:" name-with-".\n" "QVOrderField>>>\n" order "\n"
//              "QVPositionField>>>\n" position "\n" "UsableCash:" cash "\n" "-------"
//   snapshot:  "-------\nEventName:MarketDataSnap.\n" "CQVMarketDataField>>>\n" snapshot "\n" "-------"
// Records print through CQVPrintHelper::toText with names, the separator " || " and precision 2;
// a null record, or an id with no record type, prints nothing between its header and line end.
// Messages stay raw GB2312 here; the hand-over decodes the whole text.
//
// Event 11208 carries either a CThostFtdcNotifyQueryAccountField (the balance return) or the
// shorter CThostFtdcReqQueryAccountField (the error return), and the id alone cannot tell which.
// Reading the short record through the long record's printer would read past its end, so the
// generic response text prints 11208 with an empty record part; the raise that knows it carries
// the balance record passes printBankBalanceEvent as its fallback to have the record printed.
#ifndef QV_BRIDGE_EVENT_TEXT_H
#define QV_BRIDGE_EVENT_TEXT_H

#include <cstdint>
#include <string>

#include "records/cqv_records.h"

namespace qv::bridge {

inline constexpr int32_t kEventBankBalance = 11208;

// The printed name of a response or status event ("LoginTrader," ...), or "" when the id has none
// (11001, 11002, 11003, order and snapshot ids, unknown ids).
const char* eventName(int32_t eventId);

// The printed name of an order event 10003 to 10009 ("Traded.\n" ...), or "" for any other id.
const char* orderEventName(int32_t eventId);

std::string formatResponseEvent(int32_t eventId, const void* record, const char* userId,
                                int32_t errorId, const char* message);
std::string formatOrderEvent(int32_t eventId, const CQVOrderField* order,
                             const CQVPositionField* position, double usableCash);
std::string formatSnapshotEvent(const CQVMarketDataField* snapshot);

// The usable cash as printed: fixed with two decimals; "1.79e+308" for a value that is not below
// the largest finite double after adding 0.000001 (infinity, not-a-number).
std::string formatCash(double usableCash);

// The fallback both clients install: formats (only while the run mode is '0') and hands over.
void printResponseEvent(int32_t eventId, const void* record, bool isLast, const char* userId,
                        int32_t errorId, const char* message);

// As printResponseEvent, for an 11208 event whose record, when not null, is known to be a
// CThostFtdcNotifyQueryAccountField: prints that record.
void printBankBalanceEvent(int32_t eventId, const void* record, bool isLast, const char* userId,
                           int32_t errorId, const char* message);

}  // namespace qv::bridge

#endif  // QV_BRIDGE_EVENT_TEXT_H

// Trading hours by product, from the table the tree ships (sim/data/market/sessions.csv, built in)
// with a scenario's rows over it, and the phases of one product's trading day that follow from
// them and the calendar: the opening call auction before the session that opens the day (orders
// collected from 5 minutes before the open, matched in its last minute), continuous trading in the
// sessions, no trading in the breaks, closed after the last. Times of day are minutes; a night
// session runs on the evening before its trading day and may pass 24:00. Plain values; no locks.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/market_time/calendar.h"

namespace qvsim {

struct Span {
  int open = 0;   // minutes past midnight
  int close = 0;  // a night's may pass 24 * 60
};

struct ProductHours {
  std::vector<Span> night;
  std::vector<Span> day;
};

class TradingHours {
 public:
  static TradingHours shipped();
  // Rows "exchange,products,sessions" as the shipped table has them, over the present ones. False
  // with a message naming the row and the session.
  bool addTable(const std::string& text, std::string& error);
  // Sets the sessions (text as in the table) of space-separated products, "*" for the exchange's
  // others.
  bool set(const std::string& exchange, const std::string& products, const std::string& sessions,
           std::string& error);
  // A product's hours, else its exchange's "*" row, else null (no hours: always in session).
  const ProductHours* of(const std::string& exchange, const std::string& product) const;

 private:
  std::map<std::pair<std::string, std::string>, ProductHours> rows_;
};

// The instrument statuses of OnRtnInstrumentStatus (THOST_FTDC_IS_*).
enum class Phase : char {
  kBeforeTrading = '0',
  kNoTrading = '1',
  kContinuous = '2',
  kAuctionOrdering = '3',
  kAuctionMatch = '5',
  kClosed = '6',
};

// Milliseconds on one clock for every date: days since 1970 and the time of day.
long long exchangeMillis(int date, int millisOfDay);

struct PhaseChange {
  long long at = 0;  // exchangeMillis of the moment it begins
  Phase phase = Phase::kClosed;
};

// One product's trading day: when each phase begins, in order. Empty when the day is not a trading
// day (closed all day).
struct DayPhases {
  std::vector<PhaseChange> changes;
  long long open = 0;  // when the session that opens the day opens (the auction's end)
  // The phase at `at`: before the first change the day has not begun, after the last it is closed.
  Phase at(long long at) const;
};

DayPhases dayPhases(const ProductHours& hours, const Calendar& calendar, int tradingDay);

}  // namespace qvsim

// The calendar of trading days: weekdays that are not exchange holidays, from the table the tree
// ships (sim/data/market/holidays.csv, built in) and any a scenario adds. The night session of
// trading day T runs on the evening of the trading day before T, unless a holiday lies between
// them. Dates are YYYYMMDD numbers. Plain values; no locks.
#pragma once

#include <set>
#include <string>

namespace qvsim {

// Days since 1970-01-01 of a YYYYMMDD date, and back.
int dayNumber(int date);
int dateOfDay(int dayNumber);
// 0 Monday ... 6 Sunday.
int weekdayOf(int date);
// The calendar date `days` after (before, when negative) `date`.
int addDays(int date, int days);

class Calendar {
 public:
  // The shipped holidays.
  static Calendar shipped();
  // Adds the holidays of a table like the shipped one (a YYYYMMDD date first on each row; rows
  // starting with '#' and a "date" header are skipped). False with a message naming the line.
  bool addTable(const std::string& text, std::string& error);
  void addHoliday(int date) { holidays_.insert(date); }

  bool isTradingDay(int date) const;
  // The first trading day after `date`, the last one before it; 0 when none lies within 40 days.
  int next(int date) const;
  int previous(int date) const;
  // The date whose evening holds trading day T's night session, or 0 when T has none.
  int nightEvening(int tradingDay) const;

 private:
  std::set<int> holidays_;
};

}  // namespace qvsim

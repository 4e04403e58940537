// The calendar of trading days (core/market_time/calendar.h) and the civil-date arithmetic it
// needs.
#include "core/market_time/calendar.h"

#include <cstdlib>

#include "core/market_time/shipped_tables.h"

namespace qvsim {

namespace {

constexpr int kMaxGapDays = 40;  // longer than any run of holidays

bool validDate(int date) {
  const int m = date / 100 % 100;
  const int d = date % 100;
  return date >= 19700101 && date <= 99991231 && m >= 1 && m <= 12 && d >= 1 && d <= 31 &&
         dateOfDay(dayNumber(date)) == date;
}

}  // namespace

int dayNumber(int date) {
  // Days from civil (proleptic Gregorian), counted from 1970-01-01.
  int y = date / 10000;
  const int m = date / 100 % 100;
  const int d = date % 100;
  y -= m <= 2 ? 1 : 0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int dateOfDay(int z) {
  z += 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  const int d = doy - (153 * mp + 2) / 5 + 1;
  const int m = mp + (mp < 10 ? 3 : -9);
  const int y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return y * 10000 + m * 100 + d;
}

int weekdayOf(int date) {
  const int z = dayNumber(date);  // 1970-01-01 was a Thursday
  return ((z % 7) + 7 + 3) % 7;
}

int addDays(int date, int days) { return dateOfDay(dayNumber(date) + days); }

Calendar Calendar::shipped() {
  Calendar calendar;
  std::string error;
  calendar.addTable(kShippedHolidays, error);
  return calendar;
}

bool Calendar::addTable(const std::string& text, std::string& error) {
  std::size_t at = 0;
  int line = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string row = text.substr(at, end - at);
    at = end + 1;
    ++line;
    const std::string cell = row.substr(0, row.find(','));
    if (cell.empty() || cell[0] == '#' || cell == "date" || cell == "\r") continue;
    char* stop = nullptr;
    const long date = std::strtol(cell.c_str(), &stop, 10);
    if (stop == cell.c_str() || (*stop != '\0' && *stop != '\r' && *stop != ' ') || !validDate(static_cast<int>(date))) {
      error = "holidays line " + std::to_string(line) + ": '" + cell + "' is not a date (YYYYMMDD)";
      return false;
    }
    holidays_.insert(static_cast<int>(date));
  }
  return true;
}

bool Calendar::isTradingDay(int date) const { return weekdayOf(date) < 5 && holidays_.count(date) == 0; }

int Calendar::next(int date) const {
  for (int i = 1; i <= kMaxGapDays; ++i) {
    const int d = addDays(date, i);
    if (isTradingDay(d)) return d;
  }
  return 0;
}

int Calendar::previous(int date) const {
  for (int i = 1; i <= kMaxGapDays; ++i) {
    const int d = addDays(date, -i);
    if (isTradingDay(d)) return d;
  }
  return 0;
}

int Calendar::nightEvening(int tradingDay) const {
  const int before = previous(tradingDay);
  if (before == 0) return 0;
  for (int d = addDays(before, 1); d < tradingDay; d = addDays(d, 1)) {
    if (weekdayOf(d) < 5) return 0;  // a holiday between: no night session
  }
  return before;
}

}  // namespace qvsim

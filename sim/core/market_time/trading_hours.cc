// Trading hours by product and the phases of a product's trading day
// (core/market_time/trading_hours.h).
#include "core/market_time/trading_hours.h"

#include <cstdio>
#include <sstream>

#include "core/market_time/shipped_tables.h"

namespace qvsim {

namespace {

constexpr long long kMinute = 60 * 1000;
constexpr long long kDay = 24 * 60 * kMinute;
constexpr int kAuctionMinutes = 5;       // orders are collected from 5 minutes before the open
constexpr int kAuctionMatchMinutes = 1;  // and matched in its last minute
constexpr int kNightFrom = 18 * 60;      // a session opening this late is a night session
constexpr int kLatestClose = 30 * 60;

bool parseSpan(const std::string& word, Span& out) {
  int oh = 0, om = 0, ch = 0, cm = 0;
  char tail = 0;
  if (std::sscanf(word.c_str(), "%2d:%2d-%2d:%2d%c", &oh, &om, &ch, &cm, &tail) != 4) return false;
  if (om > 59 || cm > 59 || oh < 0 || ch < 0) return false;
  out.open = oh * 60 + om;
  out.close = ch * 60 + cm;
  return out.open < out.close && out.close <= kLatestClose;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

TradingHours TradingHours::shipped() {
  TradingHours hours;
  std::string error;
  hours.addTable(kShippedTradingHours, error);
  return hours;
}

bool TradingHours::set(const std::string& exchange, const std::string& products, const std::string& sessions,
                       std::string& error) {
  ProductHours hours;
  std::istringstream words(sessions);
  std::string word;
  while (words >> word) {
    Span span;
    if (!parseSpan(word, span)) {
      error = "session '" + word + "' is not HH:MM-HH:MM, closing after it opens";
      return false;
    }
    std::vector<Span>& part = span.open >= kNightFrom ? hours.night : hours.day;
    if (&part == &hours.night && !hours.day.empty()) {
      error = "night session '" + word + "' after a day session";
      return false;
    }
    if (!part.empty() && span.open < part.back().close) {
      error = "session '" + word + "' opens before the one before it closes";
      return false;
    }
    part.push_back(span);
  }
  if (hours.day.empty()) {
    error = "no day session in '" + sessions + "'";
    return false;
  }
  std::istringstream names(products);
  std::string product;
  bool any = false;
  while (names >> product) {
    rows_[{trim(exchange), product}] = hours;
    any = true;
  }
  if (!any) {
    error = "no product named for '" + sessions + "'";
    return false;
  }
  return true;
}

bool TradingHours::addTable(const std::string& text, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line == "exchange,products,sessions") continue;
    const auto first = line.find(',');
    const auto second = first == std::string::npos ? first : line.find(',', first + 1);
    if (second == std::string::npos || line.find(',', second + 1) != std::string::npos) {
      error = "trading hours row " + std::to_string(number) + ": expected exchange,products,sessions";
      return false;
    }
    std::string why;
    if (!set(line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1), why)) {
      error = "trading hours row " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

const ProductHours* TradingHours::of(const std::string& exchange, const std::string& product) const {
  auto it = rows_.find({exchange, product});
  if (it == rows_.end()) it = rows_.find({exchange, "*"});
  return it == rows_.end() ? nullptr : &it->second;
}

long long exchangeMillis(int date, int millisOfDay) { return dayNumber(date) * kDay + millisOfDay; }

Phase DayPhases::at(long long moment) const {
  if (changes.empty()) return Phase::kClosed;
  if (moment < changes.front().at) return Phase::kBeforeTrading;
  Phase phase = changes.front().phase;
  for (const PhaseChange& c : changes) {
    if (c.at > moment) break;
    phase = c.phase;
  }
  return phase;
}

DayPhases dayPhases(const ProductHours& hours, const Calendar& calendar, int tradingDay) {
  DayPhases out;
  if (!calendar.isTradingDay(tradingDay)) return out;
  std::vector<std::pair<long long, long long>> sessions;
  const int evening = hours.night.empty() ? 0 : calendar.nightEvening(tradingDay);
  if (evening != 0) {
    const long long base = exchangeMillis(evening, 0);
    for (const Span& s : hours.night) sessions.emplace_back(base + s.open * kMinute, base + s.close * kMinute);
  }
  const long long base = exchangeMillis(tradingDay, 0);
  for (const Span& s : hours.day) sessions.emplace_back(base + s.open * kMinute, base + s.close * kMinute);
  out.open = sessions.front().first;
  out.changes.push_back({out.open - kAuctionMinutes * kMinute, Phase::kAuctionOrdering});
  out.changes.push_back({out.open - kAuctionMatchMinutes * kMinute, Phase::kAuctionMatch});
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    out.changes.push_back({sessions[i].first, Phase::kContinuous});
    out.changes.push_back({sessions[i].second, i + 1 < sessions.size() ? Phase::kNoTrading : Phase::kClosed});
  }
  return out;
}

}  // namespace qvsim

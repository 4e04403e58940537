// Rules of the simulated exchanges and broker that more than one part of the broker applies, and
// the text helpers for the references and ids in the CTP records. Stateless; any thread.
#pragma once

#include <cstdio>
#include <string>

namespace qvsim {

// Prices closer than this are the same price.
inline constexpr double kPriceEpsilon = 1e-6;
inline constexpr char kCurrency[] = "CNY";
inline constexpr char kBankId[] = "1";

// Exchange ids that keep today's and yesterday's positions apart (close-today / close-yesterday).
inline bool splitsPositionDate(const std::string& exchangeId) { return exchangeId == "SHFE" || exchangeId == "INE"; }

// Market orders are not accepted by these exchanges.
inline bool refusesMarketOrders(const std::string& exchangeId) { return exchangeId == "SHFE" || exchangeId == "INE"; }

inline std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The number an order reference holds, or -1 when it is not a plain number.
inline long long refNumber(const std::string& ref) {
  const std::string t = trimmed(ref);
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 12) return -1;
  return std::stoll(t);
}

// A number right-aligned in `width` characters, as the exchange writes its ids.
inline std::string padded(int value, int width) {
  char text[32];
  std::snprintf(text, sizeof(text), "%*d", width, value);
  return text;
}

// Whether a query's filter field admits a value: an empty filter admits everything.
inline bool matches(const std::string& filter, const std::string& value) { return filter.empty() || filter == value; }

}  // namespace qvsim

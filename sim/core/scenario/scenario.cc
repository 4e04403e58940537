#include "core/scenario/scenario.h"

#include <algorithm>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "core/market_time/calendar.h"
#include "core/market_time/trading_hours.h"

namespace qvsim {

namespace {

struct ProductDef {
  const char* productId;
  const char* exchangeId;
  const char* name;
  int multiplier;
  double priceTick;
  double marginRatio;
  double preSettlementPrice;
  double limitRatio;
  int maxLimitOrderVolume;
  int maxMarketOrderVolume;
};

// Contract sizes, ticks and typical margin ratios of the exchanges; prices are plausible levels.
constexpr ProductDef kProducts[] = {
    {"rb", "SHFE", "螺纹钢", 10, 1.0, 0.13, 3500.0, 0.07, 500, 30},
    {"cu", "SHFE", "沪铜", 5, 10.0, 0.12, 72000.0, 0.08, 500, 30},
    {"au", "SHFE", "黄金", 1000, 0.02, 0.10, 460.0, 0.07, 500, 30},
    {"ag", "SHFE", "白银", 15, 1.0, 0.12, 5800.0, 0.08, 500, 30},
    {"sc", "INE", "原油", 1000, 0.1, 0.15, 550.0, 0.10, 500, 30},
    {"m", "DCE", "豆粕", 10, 1.0, 0.10, 3000.0, 0.06, 1000, 1000},
    {"i", "DCE", "铁矿石", 100, 0.5, 0.13, 800.0, 0.11, 1000, 1000},
    {"SR", "CZCE", "白糖", 10, 1.0, 0.08, 6000.0, 0.06, 1000, 200},
    {"TA", "CZCE", "PTA", 5, 2.0, 0.07, 5000.0, 0.06, 1000, 200},
    {"IF", "CFFEX", "沪深300股指", 300, 0.2, 0.12, 3800.0, 0.10, 20, 10},
    {"IC", "CFFEX", "中证500股指", 200, 0.2, 0.14, 5600.0, 0.10, 20, 10},
};

// The contracts of sim/data/sample_ticks.csv: a fixed month, so the shipped day replays against
// the built-in scenario whatever today's date is.
struct SampleInstrument {
  const char* instrumentId;
  const char* productId;
  int deliveryYear;
  int deliveryMonth;
};
constexpr SampleInstrument kSampleInstruments[] = {{"rb2705", "rb", 2027, 5}, {"m2705", "m", 2027, 5}};

// Options listed on a future of kProducts for the same month, named as their exchange names them.
struct OptionSeries {
  const char* productId;  // of the underlying future
  double strike;
  double preSettlementPrice;
  double priceTick;
};
constexpr OptionSeries kOptions[] = {{"m", 3000.0, 100.0, 0.5}};

constexpr std::size_t kMaxHolidays = 10000;

const std::set<std::string> kExchanges = {"SHFE", "INE", "DCE", "CZCE", "CFFEX"};

std::tm chinaDate() {
  const std::time_t now = std::time(nullptr) + 8 * 3600;
  std::tm tm{};
  gmtime_r(&now, &tm);
  return tm;
}

char directionOf(const std::string& text, bool position) {
  if (position) {
    if (text == "long") return '2';
    if (text == "short") return '3';
  } else {
    if (text == "buy") return '0';
    if (text == "sell") return '1';
  }
  return 0;
}

char offsetOf(const std::string& text) {
  if (text == "open") return '0';
  if (text == "close") return '1';
  if (text == "closeToday") return '3';
  if (text == "closeYesterday") return '4';
  return 0;
}

char orderStatusOf(const std::string& text) {
  if (text == "queued") return '3';
  if (text == "partial") return '1';
  if (text == "filled") return '0';
  if (text == "canceled") return '5';
  return 0;
}

std::string numberText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Reads an optional key into out, with a type check that names the key on failure. A number for
// an integer must be whole and fit the integer: a JSON number converted blindly would be
// undefined behaviour for 1e20.
template <class T>
void read(const nlohmann::json& obj, const char* key, T& out, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return;
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    if (it->is_number_float()) {
      const double value = it->get<double>();
      if (!(value >= static_cast<double>(std::numeric_limits<T>::min()) &&
            value <= static_cast<double>(std::numeric_limits<T>::max()) && value == std::trunc(value))) {
        throw std::runtime_error(where + key + " " + numberText(value) + " is not a whole number in range");
      }
      out = static_cast<T>(value);
      return;
    }
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
      throw std::runtime_error(where + key + " " + it->dump() + " is out of range");
    }
    if (it->is_number_integer() && !it->is_number_unsigned() &&
        it->get<std::int64_t>() < static_cast<std::int64_t>(std::numeric_limits<T>::min())) {
      throw std::runtime_error(where + key + " " + it->dump() + " is out of range");
    }
  }
  try {
    out = it->get<T>();
  } catch (const nlohmann::json::exception&) {
    throw std::runtime_error(where + key + " has the wrong type");
  }
}

// The sane range of a number the stand-in computes with: a value outside it (a tick of 1e-308, a
// price of 1e300) would overflow the price generator or the accounts, so the scenario is refused
// with the key named.
void requireRange(double value, double low, double high, const char* key, const std::string& where) {
  if (!(value >= low && value <= high)) {
    throw std::runtime_error(where + key + " " + numberText(value) + " is outside [" + numberText(low) + ", " +
                             numberText(high) + "]");
  }
}

constexpr double kMaxPrice = 1e8;
constexpr double kMaxMoney = 1e15;
constexpr double kMaxLots = 1e8;

std::string requireText(const nlohmann::json& obj, const char* key, const std::string& where) {
  std::string value;
  read(obj, key, value, where);
  if (value.empty()) throw std::runtime_error(where + key + " is missing");
  return value;
}

void parseInstrument(const nlohmann::json& j, InstrumentDef& s, const std::string& where) {
  s.instrumentId = requireText(j, "instrumentId", where);
  s.exchangeId = requireText(j, "exchangeId", where);
  if (!kExchanges.count(s.exchangeId)) {
    throw std::runtime_error(where + "exchangeId " + s.exchangeId + " is not SHFE, INE, DCE, CZCE or CFFEX");
  }
  read(j, "productId", s.productId, where);
  read(j, "name", s.name, where);
  std::string productClass;
  read(j, "productClass", productClass, where);
  if (!productClass.empty()) s.productClass = productClass[0];
  read(j, "multiplier", s.multiplier, where);
  read(j, "priceTick", s.priceTick, where);
  double margin = -1.0;
  read(j, "marginRatio", margin, where);
  if (margin >= 0.0) s.longMarginRatio = s.shortMarginRatio = margin;
  read(j, "longMarginRatio", s.longMarginRatio, where);
  read(j, "commissionByVolume", s.commissionByVolume, where);
  read(j, "commissionByMoney", s.commissionByMoney, where);
  s.closeTodayCommissionByVolume = s.commissionByVolume;
  s.closeTodayCommissionByMoney = s.commissionByMoney;
  read(j, "closeTodayCommissionByVolume", s.closeTodayCommissionByVolume, where);
  read(j, "closeTodayCommissionByMoney", s.closeTodayCommissionByMoney, where);
  read(j, "shortMarginRatio", s.shortMarginRatio, where);
  read(j, "maxLimitOrderVolume", s.maxLimitOrderVolume, where);
  read(j, "minLimitOrderVolume", s.minLimitOrderVolume, where);
  read(j, "maxMarketOrderVolume", s.maxMarketOrderVolume, where);
  read(j, "minMarketOrderVolume", s.minMarketOrderVolume, where);
  read(j, "preSettlementPrice", s.preSettlementPrice, where);
  read(j, "limitRatio", s.limitRatio, where);
  std::string optionType;
  read(j, "optionType", optionType, where);
  if (!optionType.empty()) {
    if (optionType != "call" && optionType != "put") {
      throw std::runtime_error(where + "optionType " + optionType + " is not call or put");
    }
    s.productClass = '2';
    s.optionsType = optionType == "call" ? '1' : '2';
    read(j, "underlying", s.underlyingId, where);
    read(j, "strike", s.strikePrice, where);
    if (!(s.strikePrice > 0.0)) throw std::runtime_error(where + "strike must be positive");
    requireRange(s.strikePrice, 1e-4, kMaxPrice, "strike", where);
  }
  read(j, "deliveryYear", s.deliveryYear, where);
  read(j, "deliveryMonth", s.deliveryMonth, where);
  if (s.productId.empty()) {
    std::size_t n = 0;
    while (n < s.instrumentId.size() && !std::isdigit(static_cast<unsigned char>(s.instrumentId[n]))) ++n;
    s.productId = s.instrumentId.substr(0, n);
  }
  if (s.name.empty()) s.name = s.instrumentId;
  if (s.multiplier <= 0) throw std::runtime_error(where + "multiplier must be positive");
  if (!(s.priceTick > 0.0)) throw std::runtime_error(where + "priceTick must be positive");
  if (!(s.preSettlementPrice > 0.0)) throw std::runtime_error(where + "preSettlementPrice must be positive");
  if (!(s.limitRatio > 0.0 && s.limitRatio < 1.0)) throw std::runtime_error(where + "limitRatio must be in (0, 1)");
  requireRange(s.multiplier, 1, 1e6, "multiplier", where);
  requireRange(s.priceTick, 1e-4, 1e5, "priceTick", where);
  requireRange(s.preSettlementPrice, 1e-4, kMaxPrice, "preSettlementPrice", where);
  requireRange(s.longMarginRatio, 0, 1, "longMarginRatio", where);
  requireRange(s.shortMarginRatio, 0, 1, "shortMarginRatio", where);
  requireRange(s.commissionByVolume, 0, 1e6, "commissionByVolume", where);
  requireRange(s.commissionByMoney, 0, 1, "commissionByMoney", where);
  requireRange(s.closeTodayCommissionByVolume, 0, 1e6, "closeTodayCommissionByVolume", where);
  requireRange(s.closeTodayCommissionByMoney, 0, 1, "closeTodayCommissionByMoney", where);
  requireRange(s.maxLimitOrderVolume, 1, kMaxLots, "maxLimitOrderVolume", where);
  requireRange(s.maxMarketOrderVolume, 1, kMaxLots, "maxMarketOrderVolume", where);
  requireRange(s.deliveryYear, 0, 9999, "deliveryYear", where);
  requireRange(s.deliveryMonth, 0, 12, "deliveryMonth", where);
  if (s.minLimitOrderVolume < 1 || s.maxLimitOrderVolume < s.minLimitOrderVolume ||
      s.minMarketOrderVolume < 1 || s.maxMarketOrderVolume < s.minMarketOrderVolume) {
    throw std::runtime_error(where + "order volume limits are inconsistent");
  }
}

void parseUser(const nlohmann::json& j, UserDef& s, const std::string& where) {
  s.userId = requireText(j, "userId", where);
  read(j, "password", s.password, where);
  read(j, "investorId", s.investorId, where);
  read(j, "accountPassword", s.accountPassword, where);
  read(j, "bankPassword", s.bankPassword, where);
  read(j, "funds", s.funds, where);
  read(j, "bankBalance", s.bankBalance, where);
  requireRange(s.funds, -kMaxMoney, kMaxMoney, "funds", where);
  requireRange(s.bankBalance, -kMaxMoney, kMaxMoney, "bankBalance", where);
}

void parsePosition(const nlohmann::json& j, PositionDef& s, const std::string& where) {
  s.userId = requireText(j, "userId", where);
  s.instrumentId = requireText(j, "instrumentId", where);
  std::string direction = "long";
  read(j, "direction", direction, where);
  s.direction = directionOf(direction, true);
  if (!s.direction) throw std::runtime_error(where + "direction " + direction + " is not long or short");
  read(j, "yesterday", s.yesterday, where);
  read(j, "today", s.today, where);
  read(j, "openPrice", s.openPrice, where);
  if (s.yesterday < 0 || s.today < 0) throw std::runtime_error(where + "volumes must not be negative");
  requireRange(s.yesterday, 0, kMaxLots, "yesterday", where);
  requireRange(s.today, 0, kMaxLots, "today", where);
  requireRange(s.openPrice, 0, kMaxPrice, "openPrice", where);
}

void parseSide(const nlohmann::json& j, char& direction, char& offset, const std::string& where) {
  std::string d = "buy";
  std::string o = "open";
  read(j, "direction", d, where);
  read(j, "offset", o, where);
  direction = directionOf(d, false);
  offset = offsetOf(o);
  if (!direction) throw std::runtime_error(where + "direction " + d + " is not buy or sell");
  if (!offset) throw std::runtime_error(where + "offset " + o + " is not open, close, closeToday or closeYesterday");
}

void parseOrder(const nlohmann::json& j, OrderDef& s, const std::string& where) {
  s.userId = requireText(j, "userId", where);
  s.instrumentId = requireText(j, "instrumentId", where);
  parseSide(j, s.direction, s.offset, where);
  read(j, "orderRef", s.orderRef, where);
  read(j, "orderSysId", s.orderSysId, where);
  read(j, "price", s.price, where);
  read(j, "volume", s.volume, where);
  read(j, "traded", s.traded, where);
  read(j, "insertTime", s.insertTime, where);
  read(j, "frontId", s.frontId, where);
  read(j, "sessionId", s.sessionId, where);
  std::string status = "queued";
  read(j, "status", status, where);
  s.status = orderStatusOf(status);
  if (!s.status) throw std::runtime_error(where + "status " + status + " is not queued, partial, filled or canceled");
  if (s.volume < 1 || s.traded < 0 || s.traded > s.volume) throw std::runtime_error(where + "volume or traded is out of range");
  requireRange(s.volume, 1, kMaxLots, "volume", where);
  requireRange(s.price, 0, kMaxPrice, "price", where);
}

void parseTrade(const nlohmann::json& j, TradeDef& s, const std::string& where) {
  s.userId = requireText(j, "userId", where);
  s.instrumentId = requireText(j, "instrumentId", where);
  parseSide(j, s.direction, s.offset, where);
  read(j, "tradeId", s.tradeId, where);
  read(j, "orderSysId", s.orderSysId, where);
  read(j, "orderRef", s.orderRef, where);
  read(j, "price", s.price, where);
  read(j, "volume", s.volume, where);
  read(j, "tradeTime", s.tradeTime, where);
  if (s.volume < 1) throw std::runtime_error(where + "volume must be positive");
  requireRange(s.volume, 1, kMaxLots, "volume", where);
  requireRange(s.price, 0, kMaxPrice, "price", where);
}

void parseHours(const nlohmann::json& obj, HoursDef& h, const std::string& where) {
  read(obj, "exchange", h.exchangeId, where);
  read(obj, "products", h.products, where);
  read(obj, "sessions", h.sessions, where);
  TradingHours check;
  std::string why;
  if (!check.set(h.exchangeId, h.products, h.sessions, why)) throw std::runtime_error(where + " " + why);
}

template <class Def, class Parse>
void parseList(const nlohmann::json& root, const char* key, std::vector<Def>& out, Parse parse) {
  auto it = root.find(key);
  if (it == root.end()) return;
  if (!it->is_array()) throw std::runtime_error(std::string(key) + " must be an array");
  out.clear();
  for (std::size_t i = 0; i < it->size(); ++i) {
    const std::string where = std::string(key) + "[" + std::to_string(i) + "].";
    if (!(*it)[i].is_object()) throw std::runtime_error(where.substr(0, where.size() - 1) + " must be an object");
    Def def;
    parse((*it)[i], def, where);
    out.push_back(std::move(def));
  }
}

}  // namespace

std::string defaultTradingDay() {
  std::tm tm = chinaDate();
  int extraDays = tm.tm_wday == 6 ? 2 : (tm.tm_wday == 0 ? 1 : 0);
  if (extraDays > 0) {
    const std::time_t shifted = std::time(nullptr) + 8 * 3600 + extraDays * 86400;
    gmtime_r(&shifted, &tm);
  }
  char text[48];
  std::snprintf(text, sizeof(text), "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

Scenario defaultScenario() {
  Scenario s;
  s.tradingDay = defaultTradingDay();
  const int year = std::stoi(s.tradingDay.substr(0, 4));
  const int month = std::stoi(s.tradingDay.substr(4, 2));
  const int deliveryYear = year + (month + 1) / 12;
  const int deliveryMonth = (month + 1) % 12 + 1;
  char yymm[32];
  std::snprintf(yymm, sizeof(yymm), "%02d%02d", deliveryYear % 100, deliveryMonth);
  for (const ProductDef& p : kProducts) {
    InstrumentDef i;
    const bool czce = std::string(p.exchangeId) == "CZCE";
    i.instrumentId = std::string(p.productId) + (czce ? std::string(yymm + 1) : std::string(yymm));
    i.exchangeId = p.exchangeId;
    i.productId = p.productId;
    i.name = std::string(p.name) + (czce ? std::string(yymm + 1) : std::string(yymm));
    i.multiplier = p.multiplier;
    i.priceTick = p.priceTick;
    i.longMarginRatio = i.shortMarginRatio = p.marginRatio;
    i.preSettlementPrice = p.preSettlementPrice;
    i.limitRatio = p.limitRatio;
    i.maxLimitOrderVolume = p.maxLimitOrderVolume;
    i.maxMarketOrderVolume = p.maxMarketOrderVolume;
    i.deliveryYear = deliveryYear;
    i.deliveryMonth = deliveryMonth;
    s.instruments.push_back(i);
  }
  for (const OptionSeries& series : kOptions) {
    const auto future = std::find_if(s.instruments.begin(), s.instruments.end(),
                                     [&](const InstrumentDef& d) { return d.productId == series.productId; });
    for (const char type : {'1', '2'}) {
      InstrumentDef i = *future;
      char strike[32];
      std::snprintf(strike, sizeof(strike), "%.0f", series.strike);
      const std::string kind = type == '1' ? "C" : "P";
      i.instrumentId = future->instrumentId + "-" + kind + "-" + strike;
      i.productId = future->productId + "_o";
      i.name = future->name + (type == '1' ? "购" : "沽") + strike;
      i.productClass = '2';
      i.underlyingId = future->instrumentId;
      i.strikePrice = series.strike;
      i.optionsType = type;
      i.priceTick = series.priceTick;
      i.preSettlementPrice = series.preSettlementPrice;
      i.limitRatio = 0.5;
      s.instruments.push_back(i);
    }
  }
  for (const SampleInstrument& sample : kSampleInstruments) {
    const auto same = std::find_if(s.instruments.begin(), s.instruments.end(),
                                   [&](const InstrumentDef& d) { return d.instrumentId == sample.instrumentId; });
    if (same != s.instruments.end()) continue;
    const auto product = std::find_if(s.instruments.begin(), s.instruments.end(),
                                      [&](const InstrumentDef& d) { return d.productId == sample.productId; });
    InstrumentDef i = *product;
    i.instrumentId = sample.instrumentId;
    i.name = i.name.substr(0, i.name.size() - 4) + (sample.instrumentId + i.productId.size());
    i.deliveryYear = sample.deliveryYear;
    i.deliveryMonth = sample.deliveryMonth;
    s.instruments.push_back(i);
  }
  return s;
}

bool parseScenario(const std::string& text, Scenario& out, std::string& error) {
  try {
    const nlohmann::json root = nlohmann::json::parse(text);
    if (!root.is_object()) throw std::runtime_error("the scenario must be a JSON object");
    Scenario s = defaultScenario();
    const std::string top;
    read(root, "brokerId", s.brokerId, top);
    read(root, "appId", s.appId, top);
    read(root, "authCode", s.authCode, top);
    read(root, "requireAuthentication", s.requireAuthentication, top);
    bool persist = false;
    if (root.contains("persist")) {
      read(root, "persist", persist, top);
      s.persist = persist ? 1 : 0;
    }
    read(root, "openAccounts", s.openAccounts, top);
    read(root, "initialFunds", s.initialFunds, top);
    read(root, "initialBankBalance", s.initialBankBalance, top);
    read(root, "tradingDay", s.tradingDay, top);
    read(root, "seed", s.seed, top);
    read(root, "frontId", s.frontId, top);
    read(root, "orderLatencyMillis", s.orderLatencyMillis, top);
    if (s.orderLatencyMillis < 0 || s.orderLatencyMillis > 3600 * 1000) {
      throw std::runtime_error("orderLatencyMillis must be between 0 and 3600000");
    }
    read(root, "sessions", s.sessions, top);
    if (!s.sessions.empty() && s.sessions != "table" && s.sessions != "always") {
      throw std::runtime_error("sessions must be \"table\" or \"always\", not \"" + s.sessions + "\"");
    }
    parseList(root, "tradingHours", s.tradingHours, parseHours);
    if (root.contains("holidays")) {
      const nlohmann::json& days = root.at("holidays");
      if (!days.is_array() || days.size() > kMaxHolidays) {
        throw std::runtime_error("holidays must be a list of at most " + std::to_string(kMaxHolidays) + " dates");
      }
      for (const auto& day : days) {
        Calendar calendar;
        std::string why;
        if (!day.is_string() || !calendar.addTable(day.get<std::string>(), why)) {
          throw std::runtime_error("holidays: " + day.dump() + " is not a date (YYYYMMDD)");
        }
        s.holidays.push_back(std::stoi(day.get<std::string>()));
      }
    }
    if (s.tradingDay.size() != 8 || s.tradingDay.find_first_not_of("0123456789") != std::string::npos) {
      throw std::runtime_error("tradingDay " + s.tradingDay + " is not YYYYMMDD");
    }
    requireRange(s.initialFunds, 0, kMaxMoney, "initialFunds", top);
    requireRange(s.initialBankBalance, 0, kMaxMoney, "initialBankBalance", top);
    parseList(root, "instruments", s.instruments, parseInstrument);
    parseList(root, "users", s.users, parseUser);
    parseList(root, "positions", s.positions, parsePosition);
    parseList(root, "orders", s.orders, parseOrder);
    parseList(root, "trades", s.trades, parseTrade);
    std::set<std::string> known;
    for (const auto& i : s.instruments) {
      if (!known.insert(i.instrumentId).second) throw std::runtime_error("instrument " + i.instrumentId + " is listed twice");
    }
    auto check = [&](const std::string& id, const char* what) {
      if (!known.count(id)) throw std::runtime_error(std::string(what) + " names unknown instrument " + id);
    };
    for (const auto& p : s.positions) check(p.instrumentId, "a position");
    for (const auto& o : s.orders) check(o.instrumentId, "an order");
    for (const auto& t : s.trades) check(t.instrumentId, "a trade");
    out = std::move(s);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

}  // namespace qvsim

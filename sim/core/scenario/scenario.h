// A scenario: everything the simulated broker starts a trading day from (broker, users, instruments,
// funds, yesterday's positions, today's orders and trades). Plain values; built once, then copied
// into the broker under the world lock. Texts are UTF-8 here and converted when records are made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvsim {

struct InstrumentDef {
  std::string instrumentId;
  std::string exchangeId;
  std::string productId;
  std::string name;  // UTF-8
  char productClass = '1';  // THOST_FTDC_PC_Futures '1', THOST_FTDC_PC_Options '2'
  // Options only: the future the option is written on, its strike and 'call' ('1') or 'put' ('2').
  std::string underlyingId;
  double strikePrice = 0.0;
  char optionsType = 0;
  int multiplier = 1;
  double priceTick = 1.0;
  // For an option these are the stand-in's own terms (margins.h); its record reports DBL_MAX.
  double longMarginRatio = 0.1;
  double shortMarginRatio = 0.1;
  int maxLimitOrderVolume = 500;
  int minLimitOrderVolume = 1;
  int maxMarketOrderVolume = 30;
  int minMarketOrderVolume = 1;
  double preSettlementPrice = 0.0;
  double limitRatio = 0.06;  // price limits are the pre-settlement price times (1 +/- limitRatio)
  int deliveryYear = 0;
  int deliveryMonth = 0;
  // Commission per lot and per yuan of turnover; closing today's lots uses the close-today rates.
  double commissionByVolume = 0.0;
  double commissionByMoney = 0.0;
  double closeTodayCommissionByVolume = 0.0;
  double closeTodayCommissionByMoney = 0.0;
};

struct UserDef {
  std::string userId;
  std::string password;
  std::string investorId;       // empty: the user id
  std::string accountPassword;  // empty: the login password
  std::string bankPassword;     // empty: any bank password is accepted
  double funds = -1.0;          // negative: the scenario's initialFunds
  double bankBalance = -1.0;    // negative: the scenario's initialBankBalance
};

struct PositionDef {
  std::string userId;
  std::string instrumentId;
  char direction = '2';  // THOST_FTDC_PD_Long '2' or THOST_FTDC_PD_Short '3'
  int yesterday = 0;
  int today = 0;
  double openPrice = 0.0;  // 0: the instrument's pre-settlement price
};

struct OrderDef {
  std::string userId;
  std::string instrumentId;
  std::string orderRef;
  std::string orderSysId;
  char direction = '0';
  char offset = '0';
  double price = 0.0;
  int volume = 1;
  int traded = 0;
  char status = '3';
  std::string insertTime = "09:00:00";
  int frontId = 0;    // 0: the scenario's front id
  int sessionId = 1;  // a session of an earlier connection
};

struct TradeDef {
  std::string userId;
  std::string instrumentId;
  std::string tradeId;
  std::string orderSysId;
  std::string orderRef;
  char direction = '0';
  char offset = '0';
  double price = 0.0;
  int volume = 1;
  std::string tradeTime = "09:00:00";
};

// Trading hours of some products over the shipped table (core/market_time/trading_hours.h).
struct HoursDef {
  std::string exchangeId;
  std::string products;  // space-separated product ids, "*" for the exchange's others
  std::string sessions;  // "21:00-23:00 09:00-10:15 ...", night first
};

struct Scenario {
  std::string brokerId = "9999";
  std::string appId = "simnow_client_test";  // empty: any app id
  std::string authCode = "0000000000000000";  // empty: any auth code
  bool requireAuthentication = true;
  bool openAccounts = true;  // any user id may log in; its first login fixes its password
  double initialFunds = 1000000.0;
  double initialBankBalance = 10000000.0;
  std::string tradingDay;  // YYYYMMDD
  std::uint64_t seed = 1;  // market-data generator
  int frontId = 1;
  int persist = -1;  // -1: keep the setting; 0 / 1: switch keeping the trading day off / on
  long long orderLatencyMillis = 0;  // in a replay, replayed time before an order reaches the matching
  // When the exchange trades: "table" by the trading hours and the calendar, "always" at any hour;
  // empty: by the table in a replay, at any hour otherwise (the generated market keeps a clock of
  // its own).
  std::string sessions;
  std::vector<HoursDef> tradingHours;  // over the shipped table
  std::vector<int> holidays;           // YYYYMMDD, over the shipped calendar
  std::vector<InstrumentDef> instruments;
  std::vector<UserDef> users;
  std::vector<PositionDef> positions;
  std::vector<OrderDef> orders;
  std::vector<TradeDef> trades;
};

// The built-in scenario: broker 9999, app id simnow_client_test, auth code 0000000000000000, open
// accounts of 1,000,000 CNY, today's date in China as the trading day, and contracts of SHFE, INE,
// DCE, CZCE and CFFEX for the month two months ahead, plus the two contracts of the shipped sample
// tick file (kSampleInstruments).
Scenario defaultScenario();

// Parses a scenario from JSON text. Missing keys keep the built-in values, except that a given
// "instruments" array replaces the built-in instruments. Returns false with a message naming the
// offending key or value.
bool parseScenario(const std::string& json, Scenario& out, std::string& error);

// The current date in China (UTC+8) as YYYYMMDD, moved forward to Monday on Saturday and Sunday.
std::string defaultTradingDay();

}  // namespace qvsim

// StateStore: one investor's trading day kept in an SQLite database under a trader object's flow
// directory, so a process that starts again on the same day finds its account, positions, orders
// and trades, and one that starts on a later day settles the stored day first. Writes are made
// with synchronous writes off and a write-ahead log: losing the last changes in a machine crash is
// acceptable for a simulator, a slow test suite is not.
// Owned by the broker (core/broker/broker.h); used only under the world lock, so it takes no lock itself.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ThostFtdcUserApiStruct.h"

struct sqlite3;

namespace qvsim {

struct StoredAccount {
  double preBalance = 0.0;
  double deposit = 0.0;
  double withdraw = 0.0;
  double closeProfit = 0.0;
  double commission = 0.0;
  double bankBalance = 0.0;
  bool confirmed = false;
  std::string confirmDate;
  std::string confirmTime;
};

struct StoredPosition {
  std::string instrumentId;
  char direction = '2';
  int ydInitial = 0;
  int yd = 0;
  int today = 0;
  double openCost = 0.0;
  double margin = 0.0;
};

struct StoredOrder {
  CThostFtdcOrderField field{};
  double frozenMargin = 0.0;
  double frozenCommission = 0.0;
  int frozenYd = 0;
  int frozenToday = 0;
  long long queueAhead = 0;
};

struct StoredDay {
  std::string tradingDay;
  StoredAccount account;
  std::vector<StoredPosition> positions;
  std::vector<StoredOrder> orders;  // in the order they were entered
  std::vector<CThostFtdcTradeField> trades;
  std::map<std::string, double> lastPrices;  // by instrument: the day's last price seen
};

class StateStore {
 public:
  // Opens (creating the file, its directories and its tables when missing) the database at path;
  // null with a message in error on failure.
  static std::unique_ptr<StateStore> open(const std::string& path, std::string& error);
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  const std::string& path() const { return path_; }
  // Reads the stored day; false when the database holds none yet.
  bool load(StoredDay& out);
  // Writes the stored day's account, its positions when given (they replace the stored ones), the
  // given orders (by their broker sequence) and trades (by their trade id) and the last prices.
  // One transaction.
  bool save(const std::string& tradingDay, const StoredAccount& account, const std::vector<StoredPosition>* positions,
            const std::vector<StoredOrder>& orders, const std::vector<CThostFtdcTradeField>& trades,
            const std::map<std::string, double>& lastPrices);
  // Drops every order and trade (a new trading day begins).
  bool clearDay();
  const std::string& lastError() const { return error_; }

 private:
  class Statement;
  // The statements of a save, prepared once when the store opens.
  struct Writes;

  StateStore(sqlite3* db, std::string path);
  bool exec(const char* sql);
  bool prepare();

  sqlite3* db_;
  std::string path_;
  std::string error_;
  std::string savedDay_;  // the trading day last written to meta
  std::unique_ptr<Writes> writes_;
};

}  // namespace qvsim

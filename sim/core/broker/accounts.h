// Accounts: the money of the broker's investors. Their accounts (funds, transfers, passwords and
// the settlement confirmation), their positions with the margin and cost of the lots held, and
// what their working orders hold back: per order (OrderHold, under the order's number in the
// exchange's day) and per investor as running sums. It books fills and ends what orders hold, and
// rolls funds and positions into the next day. Prices and terms come from the exchange.
// Not thread-safe by itself: owned by the broker and used only under the world lock.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/exchange/exchange.h"
#include "core/scenario/scenario.h"

namespace qvsim {

struct Account {
  double closeProfit = 0.0;
  double commission = 0.0;
  std::string userId;
  std::string investorId;
  std::string password;
  std::string accountPassword;
  std::string bankPassword;
  double preBalance = 0.0;
  double deposit = 0.0;
  double withdraw = 0.0;
  double bankBalance = 0.0;
  bool confirmed = false;
  std::string confirmDate;
  std::string confirmTime;
};

struct Position {
  std::string investorId;
  std::string instrumentId;
  char direction = '2';
  int ydInitial = 0;  // yesterday's position at the start of the day
  int yd = 0;         // yesterday's position still held
  int today = 0;
  int ydFrozen = 0;  // frozen by working closing orders
  int todayFrozen = 0;
  double openCost = 0.0;
  double margin = 0.0;  // at the fill prices of the lots held
};

// What one investor's working orders hold back, kept as running sums as orders start working,
// fill and end; the sums return to exactly 0 when the last such order ends.
struct InvestorTotals {
  int number = 0;              // the investor in the price books, where it never meets itself
  Account* account = nullptr;  // the account that books the investor's fills (the last user id's)
  double frozenMargin = 0.0;
  double frozenCommission = 0.0;
  int frozenOrders = 0;
};

// What one order holds of its investor's money and lots while it works.
struct OrderHold {
  double frozenMargin = 0.0;
  double frozenCommission = 0.0;
  int frozenYd = 0;
  int frozenToday = 0;
  InvestorTotals* totals = nullptr;
  bool inTotals = false;  // its frozen amounts are counted in *totals
};

class Accounts {
 public:
  explicit Accounts(const Exchange& exchange) : exchange_(exchange) {}
  Accounts(const Accounts&) = delete;
  Accounts& operator=(const Accounts&) = delete;

  // Forgets every account, position and hold.
  void clear();

  Account* find(const std::string& userId);
  const Account* find(const std::string& userId) const;
  // Opens (or reopens) a user's account; funds and bank balance below 0 take the defaults.
  Account& open(const UserDef& user, double defaultFunds, double defaultBankBalance);
  std::map<std::string, Account>& all() { return accounts_; }
  // The account that books an investor's fills, or null.
  const Account* bookingAccount(const std::string& investorId) const;

  Position& position(const std::string& investorId, const std::string& instrumentId, char direction);
  std::vector<Position>& positions() { return positions_; }
  const std::vector<Position>& positions() const { return positions_; }
  // The investor's number in the price books (its totals are made on first use).
  int party(const std::string& investorId) { return totalsOf(investorId).number; }

  // The holds of the day's orders, by the orders' numbers in the exchange's day.
  std::vector<OrderHold>& holds() { return holds_; }
  const std::vector<OrderHold>& holds() const { return holds_; }
  // Counts hold `number` of a working order of `investorId` in its investor's totals.
  void count(std::size_t number, const std::string& investorId, bool working);
  // Sets every investor's totals back to nothing held (before the holds are counted again).
  void resetTotals();

  double available(const Account& account) const;
  double positionProfit(const Account& account) const;
  double margin(const std::string& investorId) const;
  double frozen(const std::string& investorId, bool commission) const;
  double commissionOf(const InstrumentState& ins, char offset, bool today, double price, int volume) const;
  // kErrNone when `volume` lots of position p may close with `offset`, else the broker's error.
  int checkClose(const InstrumentState& ins, const Position& p, char offset, int volume) const;
  // The account record the trader front answers with.
  CThostFtdcTradingAccountField record(const Account& account, const std::string& brokerId,
                                       const std::string& tradingDay) const;

  // Books a fill of `volume` at `price` of order `f` (its record before the fill): the position,
  // margin, commission and close profit, and the share of what the order held.
  void bookFill(std::size_t number, const CThostFtdcOrderField& f, double price, int volume);
  // Ends what order `f` holds: its frozen funds and lots.
  void release(std::size_t number, const CThostFtdcOrderField& f);

  // Ends the day at `settled` prices: every position becomes yesterday's at its settlement price,
  // whose profit the pre-balance takes with the day's close profit, fees and transfers; the
  // settlement must be confirmed again.
  void settleDay(const std::map<std::string, double>& settled);

 private:
  InvestorTotals& totalsOf(const std::string& investorId);

  const Exchange& exchange_;
  std::map<std::string, Account> accounts_;  // by user id
  std::vector<Position> positions_;
  std::vector<OrderHold> holds_;
  std::map<std::string, InvestorTotals> totals_;  // by investor id
};

}  // namespace qvsim

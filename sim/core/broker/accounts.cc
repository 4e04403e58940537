// The accounts and positions of the broker's investors: funds, margin, frozen amounts and
// position profit, the account record, and the booking of fills and of the day's end.
// Called under the world lock, like every Accounts method.
#include "core/broker/accounts.h"

#include <algorithm>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/errors.h"
#include "core/exchange/exchange_rules.h"
#include "core/exchange/margins.h"
#include "core/text/fields.h"

namespace qvsim {

void Accounts::clear() {
  accounts_.clear();
  positions_.clear();
  holds_.clear();
  totals_.clear();
}

Account* Accounts::find(const std::string& userId) {
  auto it = accounts_.find(userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

const Account* Accounts::find(const std::string& userId) const {
  auto it = accounts_.find(userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

Account& Accounts::open(const UserDef& user, double defaultFunds, double defaultBankBalance) {
  Account& a = accounts_[user.userId];
  a.userId = user.userId;
  a.investorId = user.investorId.empty() ? user.userId : user.investorId;
  a.password = user.password;
  a.accountPassword = user.accountPassword.empty() ? user.password : user.accountPassword;
  a.bankPassword = user.bankPassword;
  a.preBalance = user.funds >= 0.0 ? user.funds : defaultFunds;
  a.bankBalance = user.bankBalance >= 0.0 ? user.bankBalance : defaultBankBalance;
  // Users sharing an investor book its fills in the account of the last of them by user id.
  InvestorTotals& totals = totalsOf(a.investorId);
  if (totals.account == nullptr || totals.account->userId < a.userId) totals.account = &a;
  return a;
}

const Account* Accounts::bookingAccount(const std::string& investorId) const {
  auto it = totals_.find(investorId);
  return it != totals_.end() ? it->second.account : nullptr;
}

InvestorTotals& Accounts::totalsOf(const std::string& investorId) {
  auto [it, added] = totals_.try_emplace(investorId);
  if (added) it->second.number = static_cast<int>(totals_.size());
  return it->second;
}

Position& Accounts::position(const std::string& investorId, const std::string& instrumentId, char direction) {
  for (Position& p : positions_) {
    if (p.investorId == investorId && p.instrumentId == instrumentId && p.direction == direction) return p;
  }
  Position p;
  p.investorId = investorId;
  p.instrumentId = instrumentId;
  p.direction = direction;
  positions_.push_back(p);
  return positions_.back();
}

void Accounts::count(std::size_t number, const std::string& investorId, bool working) {
  OrderHold& hold = holds_[number];
  hold.totals = &totalsOf(investorId);
  if (!working) return;
  hold.inTotals = true;
  hold.totals->frozenMargin += hold.frozenMargin;
  hold.totals->frozenCommission += hold.frozenCommission;
  hold.totals->frozenOrders += 1;
}

void Accounts::resetTotals() {
  for (auto& [investor, totals] : totals_) {
    totals.frozenMargin = totals.frozenCommission = 0.0;
    totals.frozenOrders = 0;
  }
  for (OrderHold& hold : holds_) hold.inTotals = false;
}

double Accounts::positionProfit(const Account& a) const {
  double profit = 0.0;
  for (const Position& p : positions_) {
    const int volume = p.yd + p.today;
    if (p.investorId != a.investorId || volume == 0) continue;
    const InstrumentState& ins = exchange_.instruments().at(p.instrumentId);
    const double value = exchange_.lastPrice(p.instrumentId) * volume * ins.def.multiplier;
    profit += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
  }
  return profit;
}

double Accounts::commissionOf(const InstrumentState& ins, char offset, bool today, double price, int volume) const {
  const bool closeToday = offset != THOST_FTDC_OF_Open && today;
  const double byVolume = closeToday ? ins.def.closeTodayCommissionByVolume : ins.def.commissionByVolume;
  const double byMoney = closeToday ? ins.def.closeTodayCommissionByMoney : ins.def.commissionByMoney;
  return byVolume * volume + byMoney * price * volume * ins.def.multiplier;
}

double Accounts::frozen(const std::string& investorId, bool commission) const {
  auto it = totals_.find(investorId);
  if (it == totals_.end()) return 0.0;
  return commission ? it->second.frozenCommission : it->second.frozenMargin;
}

double Accounts::margin(const std::string& investorId) const {
  double margin = 0.0;
  for (const Position& p : positions_) {
    if (p.investorId == investorId) margin += p.margin;
  }
  return margin;
}

double Accounts::available(const Account& a) const {
  const double margin = this->margin(a.investorId);
  const double frozen = this->frozen(a.investorId, false) + this->frozen(a.investorId, true);
  return a.preBalance + a.deposit - a.withdraw + a.closeProfit + positionProfit(a) - a.commission - margin - frozen;
}

CThostFtdcTradingAccountField Accounts::record(const Account& a, const std::string& brokerId,
                                               const std::string& tradingDay) const {
  auto r = zeroRecord<CThostFtdcTradingAccountField>();
  const double margin = this->margin(a.investorId);
  const double frozen = this->frozen(a.investorId, false);
  const double frozenCommission = this->frozen(a.investorId, true);
  setText(r.BrokerID, brokerId);
  setText(r.AccountID, a.investorId);
  r.PreBalance = a.preBalance;
  r.PreMargin = margin;
  r.Deposit = a.deposit;
  r.Withdraw = a.withdraw;
  r.FrozenMargin = frozen;
  r.FrozenCommission = frozenCommission;
  r.CurrMargin = margin;
  r.ExchangeMargin = margin;
  r.CloseProfit = a.closeProfit;
  r.PositionProfit = positionProfit(a);
  r.Commission = a.commission;
  r.Balance = a.preBalance + a.deposit - a.withdraw + r.CloseProfit + r.PositionProfit - r.Commission;
  r.Available = r.Balance - margin - frozen - frozenCommission;
  r.WithdrawQuota = std::max(0.0, r.Available);
  setText(r.TradingDay, tradingDay);
  r.SettlementID = 1;
  setText(r.CurrencyID, kCurrency);
  r.BizType = '1';
  return r;
}

int Accounts::checkClose(const InstrumentState& ins, const Position& p, char offset, int volume) const {
  if (splitsPositionDate(ins.def.exchangeId)) {
    if (offset == THOST_FTDC_OF_CloseToday) {
      return p.today - p.todayFrozen >= volume ? kErrNone : kErrOverCloseTodayPosition;
    }
    return p.yd - p.ydFrozen >= volume ? kErrNone : kErrOverCloseYesterdayPosition;
  }
  return (p.yd + p.today - p.ydFrozen - p.todayFrozen) >= volume ? kErrNone : kErrOverClosePosition;
}

void Accounts::settleDay(const std::map<std::string, double>& settled) {
  std::map<std::string, double> profitOf;  // by investor
  std::vector<Position> carried;
  for (Position p : positions_) {
    const int volume = p.yd + p.today;
    if (volume <= 0) continue;
    const InstrumentDef& def = exchange_.instruments().at(p.instrumentId).def;
    const double price = settled.at(p.instrumentId);
    const double value = price * volume * def.multiplier;
    profitOf[p.investorId] += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
    p.yd = p.ydInitial = volume;
    p.today = 0;
    p.ydFrozen = p.todayFrozen = 0;
    p.openCost = value;  // tomorrow's profit is counted from the settlement price
    p.margin = marginOf(def, p.direction == THOST_FTDC_PD_Long, price, volume);
    carried.push_back(p);
  }
  positions_ = std::move(carried);

  for (auto& [userId, a] : accounts_) {
    a.preBalance += a.deposit - a.withdraw + a.closeProfit + profitOf[a.investorId] - a.commission;
    a.deposit = a.withdraw = a.closeProfit = a.commission = 0.0;
    a.confirmed = false;
    a.confirmDate.clear();
    a.confirmTime.clear();
  }
  holds_.clear();
  resetTotals();
}

}  // namespace qvsim

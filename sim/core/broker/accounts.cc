// The accounts and positions of the broker's investors: funds, margin, frozen amounts and
// position profit, the account record and the largest order they allow.
// Called under the world lock, like every Broker method.
#include <algorithm>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/errors.h"
#include "core/broker/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

Broker::Account* Broker::findAccount(const std::string& userId) {
  auto it = accounts_.find(userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

const Broker::Account* Broker::accountOf(const BrokerSession& session) const {
  if (!session.loggedIn) return nullptr;
  auto it = accounts_.find(session.userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

Broker::Account& Broker::openAccount(const UserDef& user) {
  Account& a = accounts_[user.userId];
  a.userId = user.userId;
  a.investorId = user.investorId.empty() ? user.userId : user.investorId;
  a.password = user.password;
  a.accountPassword = user.accountPassword.empty() ? user.password : user.accountPassword;
  a.bankPassword = user.bankPassword;
  a.preBalance = user.funds >= 0.0 ? user.funds : scenario_.initialFunds;
  a.bankBalance = user.bankBalance >= 0.0 ? user.bankBalance : scenario_.initialBankBalance;
  // Users sharing an investor book its fills in the account of the last of them by user id.
  InvestorTotals& totals = totalsOf(a.investorId);
  if (totals.account == nullptr || totals.account->userId < a.userId) totals.account = &a;
  return a;
}

Broker::Position& Broker::position(const std::string& investorId, const std::string& instrumentId, char direction) {
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

double Broker::positionMargin(const Position& p) const { return p.margin; }

double Broker::lastPrice(const std::string& instrumentId) const {
  auto it = views_.find(instrumentId);
  if (it != views_.end() && it->second.known) {
    const double last = it->second.depth.LastPrice;
    if (last > 0.0 && last < 1e300) return last;
  }
  auto stored = storedLast_.find(instrumentId);
  if (stored != storedLast_.end()) return stored->second;
  return instruments_.at(instrumentId).def.preSettlementPrice;
}

double Broker::positionProfit(const Account& a) const {
  double profit = 0.0;
  for (const Position& p : positions_) {
    const int volume = p.yd + p.today;
    if (p.investorId != a.investorId || volume == 0) continue;
    const InstrumentState& ins = instruments_.at(p.instrumentId);
    const double value = lastPrice(p.instrumentId) * volume * ins.def.multiplier;
    profit += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
  }
  return profit;
}

double Broker::commissionOf(const InstrumentState& ins, char offset, bool today, double price, int volume) const {
  const bool closeToday = offset != THOST_FTDC_OF_Open && today;
  const double byVolume = closeToday ? ins.def.closeTodayCommissionByVolume : ins.def.commissionByVolume;
  const double byMoney = closeToday ? ins.def.closeTodayCommissionByMoney : ins.def.commissionByMoney;
  return byVolume * volume + byMoney * price * volume * ins.def.multiplier;
}

double Broker::frozenOf(const std::string& investorId, bool commission) const {
  auto it = totals_.find(investorId);
  if (it == totals_.end()) return 0.0;
  return commission ? it->second.frozenCommission : it->second.frozenMargin;
}

double Broker::availableOf(const Account& a) const {
  double margin = 0.0;
  for (const Position& p : positions_) {
    if (p.investorId == a.investorId) margin += positionMargin(p);
  }
  const double frozen = frozenOf(a.investorId, false) + frozenOf(a.investorId, true);
  return a.preBalance + a.deposit - a.withdraw + a.closeProfit + positionProfit(a) - a.commission - margin - frozen;
}

CThostFtdcTradingAccountField Broker::account(const BrokerSession& session) const {
  auto r = zeroRecord<CThostFtdcTradingAccountField>();
  const Account* a = accountOf(session);
  if (a == nullptr) return r;
  double margin = 0.0;
  for (const Position& p : positions_) {
    if (p.investorId == a->investorId) margin += positionMargin(p);
  }
  const double frozen = frozenOf(a->investorId, false);
  const double frozenCommission = frozenOf(a->investorId, true);
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.AccountID, a->investorId);
  r.PreBalance = a->preBalance;
  r.PreMargin = margin;
  r.Deposit = a->deposit;
  r.Withdraw = a->withdraw;
  r.FrozenMargin = frozen;
  r.FrozenCommission = frozenCommission;
  r.CurrMargin = margin;
  r.ExchangeMargin = margin;
  r.CloseProfit = a->closeProfit;
  r.PositionProfit = positionProfit(*a);
  r.Commission = a->commission;
  r.Balance = a->preBalance + a->deposit - a->withdraw + r.CloseProfit + r.PositionProfit - r.Commission;
  r.Available = r.Balance - margin - frozen - frozenCommission;
  r.WithdrawQuota = std::max(0.0, r.Available);
  setText(r.TradingDay, scenario_.tradingDay);
  r.SettlementID = 1;
  setText(r.CurrencyID, kCurrency);
  r.BizType = '1';
  return r;
}

int Broker::checkClose(const InstrumentState& ins, const Position& p, char offset, int volume) const {
  if (splitsPositionDate(ins.def.exchangeId)) {
    if (offset == THOST_FTDC_OF_CloseToday) {
      return p.today - p.todayFrozen >= volume ? kErrNone : kErrOverCloseTodayPosition;
    }
    return p.yd - p.ydFrozen >= volume ? kErrNone : kErrOverCloseYesterdayPosition;
  }
  return (p.yd + p.today - p.ydFrozen - p.todayFrozen) >= volume ? kErrNone : kErrOverClosePosition;
}

int Broker::maxOrderVolume(const BrokerSession& session, CThostFtdcQueryMaxOrderVolumeField& q) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  const InstrumentState* ins = instrument(getText(q.InstrumentID));
  if (ins == nullptr) return kErrInstrumentNotFound;
  if (q.Direction != THOST_FTDC_D_Buy && q.Direction != THOST_FTDC_D_Sell) return kErrBadField;
  setText(q.ExchangeID, ins->def.exchangeId);
  if (q.OffsetFlag == THOST_FTDC_OF_Open) {
    const bool buy = q.Direction == THOST_FTDC_D_Buy;
    const double unit = marginOf(ins->def, buy, buy ? ins->upperLimit : ins->lowerLimit, 1);
    constexpr double kMaxVolume = 1e9;  // keeps the conversion to int defined for tiny margins
    q.MaxVolume = unit > 0.0 ? static_cast<int>(std::min(kMaxVolume, std::max(0.0, availableOf(*account)) / unit)) : 0;
    return kErrNone;
  }
  const Position& p = position(session.investorId, ins->def.instrumentId,
                               q.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
  if (splitsPositionDate(ins->def.exchangeId)) {
    q.MaxVolume = q.OffsetFlag == THOST_FTDC_OF_CloseToday ? p.today - p.todayFrozen : p.yd - p.ydFrozen;
  } else {
    q.MaxVolume = p.yd + p.today - p.ydFrozen - p.todayFrozen;
  }
  return kErrNone;
}

}  // namespace qvsim

// The broker's trading day in the investors' databases (core/persistence/state_store.h): attaching
// one at login, restoring and settling what it holds, and writing what changes.
// Called under the world lock, like every Broker method.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/exchange/margins.h"
#include "core/text/fields.h"

namespace qvsim {

namespace {

long long numberOf(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

}  // namespace

void Broker::attachStore(BrokerSession& session, Account& account, const std::string& path) {
  const std::string& investor = account.investorId;
  auto known = stores_.find(investor);
  if (known != stores_.end() && known->second->path() == path) return;  // already this process's record
  std::string error;
  std::unique_ptr<StateStore> store = StateStore::open(path, error);
  if (store == nullptr) {
    std::fprintf(stderr, "qvsim: the trading day is not kept: %s\n", error.c_str());
    return;
  }
  StoredDay day;
  const bool found = known == stores_.end() && store->load(day);
  if (found && day.tradingDay <= scenario_.tradingDay) {
    if (day.tradingDay < scenario_.tradingDay) {
      settle(day);
      store->clearDay();
    }
    restore(session, account, day);
  }
  stores_[investor] = std::move(store);
  save(investor, nullptr, nullptr);
}

void Broker::settle(StoredDay& day) const {
  StoredAccount& a = day.account;
  double profit = 0.0;
  std::vector<StoredPosition> carried;
  for (StoredPosition p : day.positions) {
    auto ins = exchange_.instruments().find(p.instrumentId);
    const int volume = p.yd + p.today;
    if (ins == exchange_.instruments().end() || volume <= 0) continue;
    auto last = day.lastPrices.find(p.instrumentId);
    const double price = last != day.lastPrices.end() ? last->second : ins->second.def.preSettlementPrice;
    const double value = price * volume * ins->second.def.multiplier;
    profit += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
    p.yd = p.ydInitial = volume;
    p.today = 0;
    p.openCost = value;  // marked to the settlement price: tomorrow's profit starts from it
    p.margin = marginOf(ins->second.def, p.direction == THOST_FTDC_PD_Long, price, volume);
    carried.push_back(p);
  }
  a.preBalance += a.deposit - a.withdraw + a.closeProfit + profit - a.commission;
  a.deposit = a.withdraw = a.closeProfit = a.commission = 0.0;
  a.confirmed = false;
  a.confirmDate.clear();
  a.confirmTime.clear();
  day.positions = std::move(carried);
  day.orders.clear();
  day.trades.clear();
}

void Broker::restore(BrokerSession& session, Account& account, StoredDay& day) {
  const std::string investor = account.investorId;
  const StoredAccount& a = day.account;
  account.preBalance = a.preBalance;
  account.deposit = a.deposit;
  account.withdraw = a.withdraw;
  account.closeProfit = a.closeProfit;
  account.commission = a.commission;
  account.bankBalance = a.bankBalance;
  account.confirmed = a.confirmed;
  account.confirmDate = a.confirmDate;
  account.confirmTime = a.confirmTime;

  std::erase_if(accounts_.positions(), [&](const Position& p) { return p.investorId == investor; });
  // The other investors' orders keep what they hold, in the same order.
  std::vector<WorkingOrder>& orders = exchange_.orders();
  std::vector<OrderHold>& holds = accounts_.holds();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < orders.size(); ++i) {
    if (getText(orders[i].field.InvestorID) == investor) continue;
    orders[kept] = orders[i];
    holds[kept] = holds[i];
    ++kept;
  }
  orders.resize(kept);
  holds.resize(kept);
  std::erase_if(trades_, [&](const CThostFtdcTradeField& t) { return getText(t.InvestorID) == investor; });
  for (const StoredPosition& s : day.positions) {
    if (exchange_.instruments().count(s.instrumentId) == 0) continue;
    Position& p = accounts_.position(investor, s.instrumentId, s.direction);
    p.ydInitial = s.ydInitial;
    p.yd = s.yd;
    p.today = s.today;
    p.openCost = s.openCost;
    p.margin = s.margin;
  }
  std::set<int> sessions;
  for (const StoredOrder& s : day.orders) {
    if (exchange_.instruments().count(getText(s.field.InstrumentID)) == 0) continue;
    WorkingOrder order;
    order.field = s.field;
    order.queueAhead = s.queueAhead;
    OrderHold hold;
    hold.frozenMargin = s.frozenMargin;
    hold.frozenCommission = s.frozenCommission;
    hold.frozenYd = s.frozenYd;
    hold.frozenToday = s.frozenToday;
    if (hold.frozenYd != 0 || hold.frozenToday != 0) {
      Position& p = accounts_.position(investor, getText(s.field.InstrumentID),
                                       s.field.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
      p.ydFrozen += hold.frozenYd;
      p.todayFrozen += hold.frozenToday;
    }
    exchange_.noteOrderSysId(numberOf(getText(s.field.OrderSysID)));
    lastOrderLocalId_ = std::max<long long>(lastOrderLocalId_, numberOf(getText(s.field.OrderLocalID)));
    lastBrokerOrderSeq_ = std::max(lastBrokerOrderSeq_, s.field.BrokerOrderSeq);
    lastSessionId_ = std::max(lastSessionId_, s.field.SessionID);
    sessions.insert(s.field.SessionID);
    orders.push_back(order);
    holds.push_back(hold);
  }
  reindexOrders();
  for (const CThostFtdcTradeField& t : day.trades) {
    exchange_.noteTradeId(numberOf(getText(t.TradeID)));
    trades_.push_back(t);
  }
  for (const auto& [instrument, last] : day.lastPrices) {
    exchange_.rememberLast(instrument, last);
  }
  // A session of the earlier process must not be mistaken for this one.
  if (sessions.count(session.sessionId) != 0) session.sessionId = nextSessionId();
}

void Broker::save(const std::string& investorId, const std::vector<long long>* orderSeqs,
                  const std::vector<CThostFtdcTradeField>* trades) {
  auto it = stores_.find(investorId);
  if (it == stores_.end()) return;
  const Account* account = accounts_.bookingAccount(investorId);
  if (account == nullptr) return;
  StoredAccount a;
  a.preBalance = account->preBalance;
  a.deposit = account->deposit;
  a.withdraw = account->withdraw;
  a.closeProfit = account->closeProfit;
  a.commission = account->commission;
  a.bankBalance = account->bankBalance;
  a.confirmed = account->confirmed;
  a.confirmDate = account->confirmDate;
  a.confirmTime = account->confirmTime;
  // Positions move only with fills; the last prices of the lots held are kept with every write.
  const bool positionsChanged = trades == nullptr || !trades->empty();
  std::vector<StoredPosition> positions;
  std::map<std::string, double> prices;
  for (const Position& p : accounts_.positions()) {
    if (p.investorId != investorId || p.yd + p.today == 0) continue;
    positions.push_back(StoredPosition{p.instrumentId, p.direction, p.ydInitial, p.yd, p.today, p.openCost, p.margin});
    prices[p.instrumentId] = exchange_.lastPrice(p.instrumentId);
  }
  std::vector<StoredOrder> orders;
  auto keep = [&](std::size_t i) {
    const WorkingOrder& o = exchange_.orders()[i];
    const OrderHold& h = accounts_.holds()[i];
    orders.push_back(StoredOrder{o.field, h.frozenMargin, h.frozenCommission, h.frozenYd, h.frozenToday, o.queueAhead});
  };
  if (orderSeqs == nullptr) {
    for (std::size_t i = 0; i < exchange_.orders().size(); ++i) {
      if (getText(exchange_.orders()[i].field.InvestorID) == investorId) keep(i);
    }
  } else {
    std::vector<long long> seqs = *orderSeqs;
    std::sort(seqs.begin(), seqs.end());
    seqs.erase(std::unique(seqs.begin(), seqs.end()), seqs.end());
    for (long long seq : seqs) {
      auto named = bySeq_.find(static_cast<int>(seq));
      if (named == bySeq_.end()) continue;
      for (std::size_t i : named->second) {
        if (getText(exchange_.orders()[i].field.InvestorID) == investorId) keep(i);
      }
    }
  }
  std::vector<CThostFtdcTradeField> allTrades;
  if (trades == nullptr) {
    for (const auto& t : trades_) {
      if (getText(t.InvestorID) == investorId) allTrades.push_back(t);
    }
  }
  if (!it->second->save(scenario_.tradingDay, a, positionsChanged ? &positions : nullptr, orders,
                        trades != nullptr ? *trades : allTrades, prices)) {
    std::fprintf(stderr, "qvsim: the trading day could not be written: %s\n", it->second->lastError().c_str());
  }
}

void Broker::persist(const std::vector<Report>& reports) {
  if (stores_.empty()) return;
  std::map<std::string, std::pair<std::vector<long long>, std::vector<CThostFtdcTradeField>>> byInvestor;
  for (const Report& r : reports) {
    if (r.isStatus) continue;
    auto& changes = byInvestor[r.investorId];
    if (r.isTrade) {
      changes.second.push_back(r.trade);
    } else {
      changes.first.push_back(r.order.BrokerOrderSeq);
    }
  }
  for (const auto& [investor, changes] : byInvestor) save(investor, &changes.first, &changes.second);
}

void Broker::persist(const std::vector<CThostFtdcOrderField>& orders, const std::vector<Report>& followUps) {
  if (stores_.empty()) return;
  std::vector<Report> all = followUps;
  for (const auto& f : orders) {
    Report r;
    r.investorId = getText(f.InvestorID);
    r.order = f;
    all.push_back(r);
  }
  persist(all);
}

void Broker::persistAccount(const std::string& investorId) {
  const std::vector<long long> noOrders;
  const std::vector<CThostFtdcTradeField> noTrades;
  save(investorId, &noOrders, &noTrades);
}

}  // namespace qvsim

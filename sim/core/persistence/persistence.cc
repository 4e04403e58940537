// The broker's trading day in the investors' databases (core/persistence/state_store.h): attaching one at
// login, restoring and settling what it holds, and writing what changes.
// Called under the world lock, like every Broker method.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/margins.h"
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
    auto ins = instruments_.find(p.instrumentId);
    const int volume = p.yd + p.today;
    if (ins == instruments_.end() || volume <= 0) continue;
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

  std::erase_if(positions_, [&](const Position& p) { return p.investorId == investor; });
  std::erase_if(orders_, [&](const OrderEntry& o) { return getText(o.field.InvestorID) == investor; });
  std::erase_if(trades_, [&](const CThostFtdcTradeField& t) { return getText(t.InvestorID) == investor; });
  for (const StoredPosition& s : day.positions) {
    if (instruments_.count(s.instrumentId) == 0) continue;
    Position& p = position(investor, s.instrumentId, s.direction);
    p.ydInitial = s.ydInitial;
    p.yd = s.yd;
    p.today = s.today;
    p.openCost = s.openCost;
    p.margin = s.margin;
  }
  std::set<int> sessions;
  for (const StoredOrder& s : day.orders) {
    if (instruments_.count(getText(s.field.InstrumentID)) == 0) continue;
    OrderEntry entry;
    entry.field = s.field;
    entry.frozenMargin = s.frozenMargin;
    entry.frozenCommission = s.frozenCommission;
    entry.frozenYd = s.frozenYd;
    entry.frozenToday = s.frozenToday;
    entry.queueAhead = s.queueAhead;
    if (entry.frozenYd != 0 || entry.frozenToday != 0) {
      Position& p = position(investor, getText(s.field.InstrumentID),
                             s.field.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
      p.ydFrozen += entry.frozenYd;
      p.todayFrozen += entry.frozenToday;
    }
    lastOrderSysId_ = std::max<long long>(lastOrderSysId_, numberOf(getText(s.field.OrderSysID)));
    lastOrderLocalId_ = std::max<long long>(lastOrderLocalId_, numberOf(getText(s.field.OrderLocalID)));
    lastBrokerOrderSeq_ = std::max(lastBrokerOrderSeq_, s.field.BrokerOrderSeq);
    lastSessionId_ = std::max(lastSessionId_, s.field.SessionID);
    sessions.insert(s.field.SessionID);
    orders_.push_back(entry);
  }
  reindexOrders();
  for (const CThostFtdcTradeField& t : day.trades) {
    lastTradeId_ = std::max<long long>(lastTradeId_, numberOf(getText(t.TradeID)));
    trades_.push_back(t);
  }
  for (const auto& [instrument, last] : day.lastPrices) {
    if (views_.count(instrument) == 0) storedLast_[instrument] = last;
  }
  // A session of the earlier process must not be mistaken for this one.
  if (sessions.count(session.sessionId) != 0) session.sessionId = nextSessionId();
}

void Broker::save(const std::string& investorId, const std::vector<long long>* orderSeqs,
                  const std::vector<CThostFtdcTradeField>* trades) {
  auto it = stores_.find(investorId);
  if (it == stores_.end()) return;
  auto totals = totals_.find(investorId);
  const Account* account = totals != totals_.end() ? totals->second.account : nullptr;
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
  for (const Position& p : positions_) {
    if (p.investorId != investorId || p.yd + p.today == 0) continue;
    positions.push_back(StoredPosition{p.instrumentId, p.direction, p.ydInitial, p.yd, p.today, p.openCost, p.margin});
    prices[p.instrumentId] = lastPrice(p.instrumentId);
  }
  std::vector<StoredOrder> orders;
  auto keep = [&](const OrderEntry& o) {
    orders.push_back(StoredOrder{o.field, o.frozenMargin, o.frozenCommission, o.frozenYd, o.frozenToday, o.queueAhead});
  };
  if (orderSeqs == nullptr) {
    for (const OrderEntry& o : orders_) {
      if (getText(o.field.InvestorID) == investorId) keep(o);
    }
  } else {
    std::vector<long long> seqs = *orderSeqs;
    std::sort(seqs.begin(), seqs.end());
    seqs.erase(std::unique(seqs.begin(), seqs.end()), seqs.end());
    for (long long seq : seqs) {
      auto named = bySeq_.find(static_cast<int>(seq));
      if (named == bySeq_.end()) continue;
      for (std::size_t i : named->second) {
        if (getText(orders_[i].field.InvestorID) == investorId) keep(orders_[i]);
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

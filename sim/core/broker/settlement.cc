// The end of a trading day on the simulated exchange: working orders expire, positions are settled
// at the day's settlement price and carried as yesterday's, accounts roll their funds into the next
// day's pre-balance. Called under the world lock, like every Broker method.
#include <cmath>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

namespace {

bool isPrice(double v) { return v > 0.0 && v < 1e300; }

}  // namespace

double Broker::settlementPrice(const std::string& instrumentId) const {
  auto view = views_.find(instrumentId);
  if (view != views_.end() && view->second.known && isPrice(view->second.depth.SettlementPrice)) {
    return view->second.depth.SettlementPrice;
  }
  return lastPrice(instrumentId);
}

std::vector<Report> Broker::settleDay(const std::string& nextTradingDay) {
  std::vector<Report> expired;
  for (OrderEntry& entry : orders_) {
    if (!entry.working()) continue;
    release(entry);
    auto& f = entry.field;
    f.OrderStatus = THOST_FTDC_OST_Canceled;
    setText(f.StatusMsg, toGb2312("已撤单"));
    f.NotifySequence += 1;
    Report r;
    r.investorId = getText(f.InvestorID);
    r.order = f;
    expired.push_back(r);
  }

  std::map<std::string, double> settled;
  for (const auto& [id, ins] : instruments_) settled[id] = settlementPrice(id);

  std::map<std::string, double> profitOf;  // by investor
  std::vector<Position> carried;
  for (Position p : positions_) {
    const int volume = p.yd + p.today;
    if (volume <= 0) continue;
    const InstrumentDef& def = instruments_.at(p.instrumentId).def;
    const double value = settled[p.instrumentId] * volume * def.multiplier;
    profitOf[p.investorId] += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
    p.yd = p.ydInitial = volume;
    p.today = 0;
    p.ydFrozen = p.todayFrozen = 0;
    p.openCost = value;  // tomorrow's profit is counted from the settlement price
    p.margin = marginOf(def, p.direction == THOST_FTDC_PD_Long, settled[p.instrumentId], volume);
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

  // The next day's price band is centred on today's settlement, as the exchange publishes it.
  for (auto& [id, s] : instruments_) {
    s.centreBand(settled[id]);
    storedLast_[id] = settled[id];
  }
  views_.clear();
  orders_.clear();
  reindexOrders();
  trades_.clear();
  transfers_.clear();
  scenario_.tradingDay = nextTradingDay;

  for (auto& [investor, store] : stores_) {
    store->clearDay();
    save(investor, nullptr, nullptr);
  }
  return expired;
}

void InstrumentState::centreBand(double preSettlement) {
  const double tick = def.priceTick;
  const double preTicks = std::round(preSettlement / tick);
  def.preSettlementPrice = preTicks * tick;
  upperLimit = std::floor(preTicks * (1.0 + def.limitRatio) + kPriceEpsilon) * tick;
  lowerLimit = std::ceil(preTicks * (1.0 - def.limitRatio) - kPriceEpsilon) * tick;
}

}  // namespace qvsim

// The accounting of fills: the matches the matching found (core/exchange/matching.cc) are booked
// here, in the order found. A fill books the position, margin, commission and close profit of the
// order's investor and makes the order report and the trade; a cancellation of a remainder ends the
// order. Called under the world lock, like every Broker method.
#include <algorithm>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

void Broker::fill(OrderEntry& entry, double price, int volume, std::vector<Report>& out) {
  auto& f = entry.field;
  const std::string instrumentId = getText(f.InstrumentID);
  const std::string investor = getText(f.InvestorID);
  const InstrumentState& ins = instruments_.at(instrumentId);
  const double multiplier = ins.def.multiplier;
  const char offset = f.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : f.CombOffsetFlag[0];
  Account* account = entry.totals != nullptr ? entry.totals->account : nullptr;
  const int remainingBefore = f.VolumeTotal;
  const double share = static_cast<double>(volume) / remainingBefore;
  const double frozenMarginPart = entry.frozenMargin * share;
  const double frozenCommissionPart = entry.frozenCommission * share;
  entry.frozenMargin -= frozenMarginPart;
  entry.frozenCommission -= frozenCommissionPart;
  if (entry.inTotals) {
    entry.totals->frozenMargin -= frozenMarginPart;
    entry.totals->frozenCommission -= frozenCommissionPart;
  }

  double commission = 0.0;
  if (offset == THOST_FTDC_OF_Open) {
    const char direction = f.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Long : THOST_FTDC_PD_Short;
    Position& p = position(investor, instrumentId, direction);
    p.today += volume;
    p.openCost += price * volume * multiplier;
    p.margin += marginOf(ins.def, direction == THOST_FTDC_PD_Long, price, volume);
    commission = commissionOf(ins, offset, false, price, volume);
  } else {
    const char direction = f.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long;
    Position& p = position(investor, instrumentId, direction);
    // The lots this fill closes: the frozen split of the order, yesterday's first.
    const int fromYd = std::min(volume, entry.frozenYd);
    const int fromToday = volume - fromYd;
    entry.frozenYd -= fromYd;
    entry.frozenToday -= fromToday;
    p.ydFrozen -= fromYd;
    p.todayFrozen -= fromToday;
    const int held = p.yd + p.today;
    const double unitCost = held > 0 ? p.openCost / held : price * multiplier;
    const double unitMargin = held > 0 ? p.margin / held : 0.0;
    p.yd -= fromYd;
    p.today -= fromToday;
    p.openCost -= unitCost * volume;
    p.margin -= unitMargin * volume;
    if (p.yd + p.today == 0) p.openCost = p.margin = 0.0;
    const double proceeds = price * volume * multiplier;
    const double profit = direction == THOST_FTDC_PD_Long ? proceeds - unitCost * volume : unitCost * volume - proceeds;
    if (account != nullptr) account->closeProfit += profit;
    commission = commissionOf(ins, offset, false, price, fromYd) + commissionOf(ins, offset, true, price, fromToday);
  }
  if (account != nullptr) account->commission += commission;

  const std::string now = chinaTime();
  f.VolumeTraded += volume;
  f.VolumeTotal -= volume;
  f.OrderStatus = f.VolumeTotal == 0 ? THOST_FTDC_OST_AllTraded : THOST_FTDC_OST_PartTradedQueueing;
  setText(f.StatusMsg, toGb2312(f.VolumeTotal == 0 ? "全部成交报单已提交" : "部分成交"));
  setText(f.UpdateTime, now);
  f.NotifySequence += 1;
  if (f.VolumeTotal == 0) {
    release(entry);
  } else if (entry.book != nullptr) {
    entry.book->reduce(entry.index, volume);
  }

  auto t = zeroRecord<CThostFtdcTradeField>();
  setText(t.BrokerID, getText(f.BrokerID));
  setText(t.InvestorID, investor);
  setText(t.InstrumentID, instrumentId);
  setText(t.OrderRef, getText(f.OrderRef));
  setText(t.UserID, getText(f.UserID));
  setText(t.ExchangeID, getText(f.ExchangeID));
  setText(t.TradeID, padded(++lastTradeId_, 12));
  t.Direction = f.Direction;
  setText(t.OrderSysID, getText(f.OrderSysID));
  setText(t.ParticipantID, getText(f.ParticipantID));
  setText(t.ClientID, getText(f.ClientID));
  t.TradingRole = THOST_FTDC_ER_Broker;
  setText(t.ExchangeInstID, instrumentId);
  t.OffsetFlag = f.CombOffsetFlag[0];
  t.HedgeFlag = f.CombHedgeFlag[0];
  t.Price = price;
  t.Volume = volume;
  setText(t.TradeDate, chinaDate());
  setText(t.TradeTime, now);
  t.TradeType = THOST_FTDC_TRDT_Common;
  t.PriceSource = THOST_FTDC_PSRC_LastPrice;
  setText(t.TraderID, getText(f.TraderID));
  setText(t.OrderLocalID, getText(f.OrderLocalID));
  setText(t.BusinessUnit, getText(f.BusinessUnit));
  t.SequenceNo = lastTradeId_;
  setText(t.TradingDay, scenario_.tradingDay);
  t.SettlementID = 1;
  t.BrokerOrderSeq = f.BrokerOrderSeq;
  t.TradeSource = THOST_FTDC_TSRC_NORMAL;
  setText(t.InvestUnitID, getText(f.InvestUnitID));
  trades_.push_back(t);

  Report orderReport;
  orderReport.investorId = investor;
  orderReport.order = f;
  out.push_back(orderReport);
  Report tradeReport;
  tradeReport.investorId = investor;
  tradeReport.isTrade = true;
  tradeReport.trade = t;
  out.push_back(std::move(tradeReport));
}

void Broker::book(const std::vector<Match>& matches, std::vector<Report>& out) {
  for (const Match& m : matches) {
    if (m.cancel) {
      cancelRemainder(orders_[m.order], "已撤单", out);
    } else {
      fill(orders_[m.order], m.price, m.volume, out);
    }
  }
}

void Broker::cancelRemainder(OrderEntry& entry, const char* message, std::vector<Report>& out) {
  auto& f = entry.field;
  release(entry);
  f.OrderStatus = THOST_FTDC_OST_Canceled;
  const std::string now = chinaTime();
  setText(f.CancelTime, now);
  setText(f.UpdateTime, now);
  setText(f.StatusMsg, toGb2312(message));
  f.NotifySequence += 1;
  Report r;
  r.investorId = getText(f.InvestorID);
  r.order = f;
  out.push_back(std::move(r));
}

}  // namespace qvsim

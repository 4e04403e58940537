// The booking of fills: the matches the exchange found (core/exchange/matching.cc) are booked
// here, in the order found. A fill books the position, margin, commission and close profit of the
// order's investor, and the exchange makes the order's new record and the trade; a cancellation of
// a remainder ends what the order held. Called under the world lock.
#include <algorithm>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/accounts.h"
#include "core/broker/broker.h"
#include "core/exchange/exchange_clock.h"
#include "core/exchange/margins.h"
#include "core/text/fields.h"

namespace qvsim {

void Accounts::bookFill(std::size_t number, const CThostFtdcOrderField& f, double price, int volume) {
  OrderHold& hold = holds_[number];
  const std::string instrumentId = getText(f.InstrumentID);
  const std::string investor = getText(f.InvestorID);
  const InstrumentState& ins = exchange_.instruments().at(instrumentId);
  const double multiplier = ins.def.multiplier;
  const char offset = f.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : f.CombOffsetFlag[0];
  Account* account = hold.totals != nullptr ? hold.totals->account : nullptr;
  const int remainingBefore = f.VolumeTotal;
  const double share = static_cast<double>(volume) / remainingBefore;
  const double frozenMarginPart = hold.frozenMargin * share;
  const double frozenCommissionPart = hold.frozenCommission * share;
  hold.frozenMargin -= frozenMarginPart;
  hold.frozenCommission -= frozenCommissionPart;
  if (hold.inTotals) {
    hold.totals->frozenMargin -= frozenMarginPart;
    hold.totals->frozenCommission -= frozenCommissionPart;
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
    const int fromYd = std::min(volume, hold.frozenYd);
    const int fromToday = volume - fromYd;
    hold.frozenYd -= fromYd;
    hold.frozenToday -= fromToday;
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
}

void Accounts::release(std::size_t number, const CThostFtdcOrderField& f) {
  OrderHold& hold = holds_[number];
  if (hold.inTotals) {
    InvestorTotals& totals = *hold.totals;
    totals.frozenMargin -= hold.frozenMargin;
    totals.frozenCommission -= hold.frozenCommission;
    if (--totals.frozenOrders == 0) totals.frozenMargin = totals.frozenCommission = 0.0;
    hold.inTotals = false;
  }
  hold.frozenMargin = 0.0;
  hold.frozenCommission = 0.0;
  if (hold.frozenYd == 0 && hold.frozenToday == 0) return;
  Position& p = position(getText(f.InvestorID), getText(f.InstrumentID),
                         f.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
  p.ydFrozen -= hold.frozenYd;
  p.todayFrozen -= hold.frozenToday;
  hold.frozenYd = hold.frozenToday = 0;
}

void Broker::fill(std::size_t number, double price, int volume, std::vector<Report>& out) {
  const auto& f = exchange_.orders()[number].field;
  accounts_.bookFill(number, f, price, volume);
  const CThostFtdcTradeField t = exchange_.execute(number, price, volume, scenario_.tradingDay);
  if (f.VolumeTotal == 0) accounts_.release(number, f);
  trades_.push_back(t);

  const std::string investor = getText(f.InvestorID);
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

void Broker::end(std::size_t number, const char* message, const std::string& time) {
  accounts_.release(number, exchange_.orders()[number].field);
  exchange_.cancel(number, message, time);
}

void Broker::book(const std::vector<Match>& matches, std::vector<Report>& out) {
  for (const Match& m : matches) {
    if (m.cancel) {
      end(m.order, "已撤单", chinaTime());
      const auto& f = exchange_.orders()[m.order].field;
      Report r;
      r.investorId = getText(f.InvestorID);
      r.order = f;
      out.push_back(std::move(r));
    } else {
      fill(m.order, m.price, m.volume, out);
    }
  }
}

}  // namespace qvsim

// Queries of an investor's trading records: orders, trades, positions, the settlement and the
// investor's own records. Called under the world lock, like every Broker method.
#include <cstdio>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

std::vector<CThostFtdcOrderField> Broker::orders(const BrokerSession& session, const CThostFtdcQryOrderField& q) const {
  std::vector<CThostFtdcOrderField> out;
  if (!session.loggedIn) return out;
  const std::string start = getText(q.InsertTimeStart);
  const std::string end = getText(q.InsertTimeEnd);
  for (const WorkingOrder& o : exchange_.orders()) {
    const auto& f = o.field;
    if (getText(f.InvestorID) != session.investorId) continue;
    if (!matches(getText(q.InstrumentID), getText(f.InstrumentID)) || !matches(getText(q.ExchangeID), getText(f.ExchangeID))) continue;
    if (!getText(q.OrderSysID).empty() && trimmed(getText(q.OrderSysID)) != trimmed(getText(f.OrderSysID))) continue;
    const std::string t = getText(f.InsertTime);
    if ((!start.empty() && t < start) || (!end.empty() && t > end)) continue;
    out.push_back(f);
  }
  return out;
}

std::vector<CThostFtdcTradeField> Broker::trades(const BrokerSession& session, const CThostFtdcQryTradeField& q) const {
  std::vector<CThostFtdcTradeField> out;
  if (!session.loggedIn) return out;
  const std::string start = getText(q.TradeTimeStart);
  const std::string end = getText(q.TradeTimeEnd);
  for (const auto& t : trades_) {
    if (getText(t.InvestorID) != session.investorId) continue;
    if (!matches(getText(q.InstrumentID), getText(t.InstrumentID)) || !matches(getText(q.ExchangeID), getText(t.ExchangeID))) continue;
    if (!getText(q.TradeID).empty() && trimmed(getText(q.TradeID)) != trimmed(getText(t.TradeID))) continue;
    const std::string time = getText(t.TradeTime);
    if ((!start.empty() && time < start) || (!end.empty() && time > end)) continue;
    out.push_back(t);
  }
  return out;
}

std::vector<CThostFtdcInvestorPositionField> Broker::positions(const BrokerSession& session,
                                                              const CThostFtdcQryInvestorPositionField& q) const {
  std::vector<CThostFtdcInvestorPositionField> out;
  if (!session.loggedIn) return out;
  for (const Position& p : accounts_.positions()) {
    if (p.investorId != session.investorId || p.yd + p.today == 0) continue;
    const InstrumentState& ins = exchange_.instruments().at(p.instrumentId);
    if (!matches(getText(q.InstrumentID), p.instrumentId) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    const double ratio = p.direction == THOST_FTDC_PD_Long ? ins.def.longMarginRatio : ins.def.shortMarginRatio;
    const double unitMargin = p.margin / (p.yd + p.today);
    const double unitCost = p.openCost / (p.yd + p.today);
    const double last = exchange_.lastPrice(p.instrumentId);
    auto make = [&](char date, int volume, int today, int yd, int frozen) {
      auto r = zeroRecord<CThostFtdcInvestorPositionField>();
      setText(r.InstrumentID, p.instrumentId);
      setText(r.BrokerID, scenario_.brokerId);
      setText(r.InvestorID, p.investorId);
      r.PosiDirection = p.direction;
      r.HedgeFlag = THOST_FTDC_HF_Speculation;
      r.PositionDate = date;
      r.YdPosition = yd;
      r.Position = volume;
      (p.direction == THOST_FTDC_PD_Long ? r.ShortFrozen : r.LongFrozen) = frozen;
      r.PositionCost = unitCost * volume;
      r.PreMargin = unitMargin * yd;
      r.UseMargin = unitMargin * volume;
      r.ExchangeMargin = r.UseMargin;
      r.PreSettlementPrice = ins.def.preSettlementPrice;
      r.SettlementPrice = last;
      const double value = last * volume * ins.def.multiplier;
      r.PositionProfit = p.direction == THOST_FTDC_PD_Long ? value - r.PositionCost : r.PositionCost - value;
      setText(r.TradingDay, scenario_.tradingDay);
      r.SettlementID = 1;
      r.OpenCost = unitCost * volume;
      r.TodayPosition = today;
      r.MarginRateByMoney = ratio;
      setText(r.ExchangeID, ins.def.exchangeId);
      out.push_back(r);
    };
    if (splitsPositionDate(ins.def.exchangeId)) {
      if (p.yd > 0) make(THOST_FTDC_PSD_History, p.yd, 0, p.ydInitial, p.ydFrozen);
      if (p.today > 0) make(THOST_FTDC_PSD_Today, p.today, p.today, 0, p.todayFrozen);
    } else {
      make(THOST_FTDC_PSD_Today, p.yd + p.today, p.today, p.ydInitial, p.ydFrozen + p.todayFrozen);
    }
  }
  return out;
}

CThostFtdcTradingAccountField Broker::account(const BrokerSession& session) const {
  const Account* a = accountOf(session);
  if (a == nullptr) return zeroRecord<CThostFtdcTradingAccountField>();
  return accounts_.record(*a, scenario_.brokerId, scenario_.tradingDay);
}

std::vector<CThostFtdcSettlementInfoField> Broker::settlementInfo(const BrokerSession& session) const {
  std::vector<CThostFtdcSettlementInfoField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  char amounts[160];
  std::snprintf(amounts, sizeof(amounts), "%.2f", a->preBalance);
  const std::string text = toGb2312(std::string("模拟经纪公司 交易结算单\r\n交易日期: ") + scenario_.tradingDay +
                                    "\r\n客户号: " + a->investorId + "\r\n上日结存: " + amounts +
                                    "\r\n本结算单由模拟环境生成。\r\n");
  constexpr std::size_t kChunk = sizeof(CThostFtdcSettlementInfoField::Content) - 1;
  int sequence = 0;
  for (std::size_t at = 0; at < text.size(); at += kChunk) {
    auto r = zeroRecord<CThostFtdcSettlementInfoField>();
    setText(r.TradingDay, scenario_.tradingDay);
    r.SettlementID = 1;
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.SequenceNo = ++sequence;
    setText(r.Content, text.substr(at, kChunk));
    setText(r.AccountID, a->investorId);
    setText(r.CurrencyID, kCurrency);
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcSettlementInfoConfirmField> Broker::settlementConfirms(const BrokerSession& session) const {
  std::vector<CThostFtdcSettlementInfoConfirmField> out;
  const Account* a = accountOf(session);
  if (a == nullptr || !a->confirmed) return out;
  auto r = zeroRecord<CThostFtdcSettlementInfoConfirmField>();
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.InvestorID, a->investorId);
  setText(r.ConfirmDate, a->confirmDate);
  setText(r.ConfirmTime, a->confirmTime);
  r.SettlementID = 1;
  setText(r.AccountID, a->investorId);
  setText(r.CurrencyID, kCurrency);
  out.push_back(r);
  return out;
}

std::vector<CThostFtdcInvestorField> Broker::investors(const BrokerSession& session) const {
  std::vector<CThostFtdcInvestorField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  auto r = zeroRecord<CThostFtdcInvestorField>();
  setText(r.InvestorID, a->investorId);
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.InvestorGroupID, "1");
  setText(r.InvestorName, a->userId);
  r.IdentifiedCardType = '1';
  r.IsActive = 1;
  setText(r.OpenDate, scenario_.tradingDay);
  out.push_back(r);
  return out;
}

std::vector<CThostFtdcTradingCodeField> Broker::tradingCodes(const BrokerSession& session,
                                                           const CThostFtdcQryTradingCodeField& q) const {
  std::vector<CThostFtdcTradingCodeField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const char* ex : {"CFFEX", "CZCE", "DCE", "INE", "SHFE"}) {
    if (!matches(getText(q.ExchangeID), ex)) continue;
    auto r = zeroRecord<CThostFtdcTradingCodeField>();
    setText(r.InvestorID, a->investorId);
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.ExchangeID, ex);
    setText(r.ClientID, a->investorId);
    r.IsActive = 1;
    r.ClientIDType = '1';
    r.BizType = '1';
    out.push_back(r);
  }
  return out;
}

}  // namespace qvsim

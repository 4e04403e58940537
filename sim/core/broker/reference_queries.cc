// Queries of the exchanges' reference data: instruments, products, exchanges, margin and
// commission rates. Called under the world lock, like every Broker method.
#include <set>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

namespace {

const char* exchangeName(const std::string& exchangeId) {
  if (exchangeId == "SHFE") return "上海期货交易所";
  if (exchangeId == "INE") return "上海国际能源交易中心";
  if (exchangeId == "DCE") return "大连商品交易所";
  if (exchangeId == "CZCE") return "郑州商品交易所";
  if (exchangeId == "CFFEX") return "中国金融期货交易所";
  return "";
}

}  // namespace

std::vector<CThostFtdcInstrumentField> Broker::instrumentRecords(const CThostFtdcQryInstrumentField& q) const {
  std::vector<CThostFtdcInstrumentField> out;
  for (const auto& [id, ins] : exchange_.instruments()) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId) ||
        !matches(getText(q.ProductID), ins.def.productId) || !matches(getText(q.ExchangeInstID), id)) {
      continue;
    }
    out.push_back(ins.field);
  }
  return out;
}

std::vector<CThostFtdcInstrumentMarginRateField> Broker::marginRates(
    const BrokerSession& session, const CThostFtdcQryInstrumentMarginRateField& q) const {
  std::vector<CThostFtdcInstrumentMarginRateField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const auto& [id, ins] : exchange_.instruments()) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    auto r = zeroRecord<CThostFtdcInstrumentMarginRateField>();
    setText(r.InstrumentID, id);
    r.InvestorRange = '1';
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.HedgeFlag = q.HedgeFlag != 0 ? q.HedgeFlag : THOST_FTDC_HF_Speculation;
    r.LongMarginRatioByMoney = ins.def.longMarginRatio;
    r.ShortMarginRatioByMoney = ins.def.shortMarginRatio;
    setText(r.ExchangeID, ins.def.exchangeId);
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcInstrumentCommissionRateField> Broker::commissionRates(
    const BrokerSession& session, const CThostFtdcQryInstrumentCommissionRateField& q) const {
  std::vector<CThostFtdcInstrumentCommissionRateField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const auto& [id, ins] : exchange_.instruments()) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    auto r = zeroRecord<CThostFtdcInstrumentCommissionRateField>();
    setText(r.InstrumentID, id);
    r.InvestorRange = '1';
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.OpenRatioByMoney = ins.def.commissionByMoney;
    r.OpenRatioByVolume = ins.def.commissionByVolume;
    r.CloseRatioByMoney = ins.def.commissionByMoney;
    r.CloseRatioByVolume = ins.def.commissionByVolume;
    r.CloseTodayRatioByMoney = ins.def.closeTodayCommissionByMoney;
    r.CloseTodayRatioByVolume = ins.def.closeTodayCommissionByVolume;
    setText(r.ExchangeID, ins.def.exchangeId);
    r.BizType = '1';
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcExchangeField> Broker::exchanges(const CThostFtdcQryExchangeField& q) const {
  std::vector<CThostFtdcExchangeField> out;
  for (const char* ex : {"CFFEX", "CZCE", "DCE", "INE", "SHFE"}) {
    if (!matches(getText(q.ExchangeID), ex)) continue;
    auto r = zeroRecord<CThostFtdcExchangeField>();
    setText(r.ExchangeID, ex);
    setText(r.ExchangeName, toGb2312(exchangeName(ex)));
    r.ExchangeProperty = '0';
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcProductField> Broker::products(const CThostFtdcQryProductField& q) const {
  std::vector<CThostFtdcProductField> out;
  std::set<std::string> seen;
  for (const auto& [id, ins] : exchange_.instruments()) {
    const auto& s = ins.def;
    if (!matches(getText(q.ProductID), s.productId) || !matches(getText(q.ExchangeID), s.exchangeId)) continue;
    if (q.ProductClass != 0 && q.ProductClass != s.productClass) continue;
    if (!seen.insert(s.exchangeId + "." + s.productId).second) continue;
    auto r = zeroRecord<CThostFtdcProductField>();
    setText(r.ProductID, s.productId);
    setText(r.ProductName, s.productId);
    setText(r.ExchangeID, s.exchangeId);
    r.ProductClass = s.productClass;
    r.VolumeMultiple = s.multiplier;
    r.PriceTick = s.priceTick;
    r.MaxMarketOrderVolume = s.maxMarketOrderVolume;
    r.MinMarketOrderVolume = s.minMarketOrderVolume;
    r.MaxLimitOrderVolume = s.maxLimitOrderVolume;
    r.MinLimitOrderVolume = s.minLimitOrderVolume;
    r.PositionType = THOST_FTDC_PT_Gross;
    r.PositionDateType = splitsPositionDate(s.exchangeId) ? THOST_FTDC_PDT_UseHistory : THOST_FTDC_PDT_NoUseHistory;
    r.CloseDealType = '0';
    setText(r.TradeCurrencyID, kCurrency);
    r.MortgageFundUseRange = '0';
    r.UnderlyingMultiple = 1.0;
    out.push_back(r);
  }
  return out;
}

}  // namespace qvsim

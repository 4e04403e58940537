#include "core/exchange/order_checks.h"

#include <cmath>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/errors.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

int checkFields(const BrokerSession& session, const CThostFtdcInputOrderField& input, const InstrumentState& ins) {
  const char offset = input.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : input.CombOffsetFlag[0];
  const bool market = input.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const std::string investor = getText(input.InvestorID);
  const std::string exchange = getText(input.ExchangeID);
  if ((input.Direction != THOST_FTDC_D_Buy && input.Direction != THOST_FTDC_D_Sell) ||
      (offset != THOST_FTDC_OF_Open && offset != THOST_FTDC_OF_Close && offset != THOST_FTDC_OF_CloseToday &&
       offset != THOST_FTDC_OF_CloseYesterday) ||
      (input.OrderPriceType != THOST_FTDC_OPT_AnyPrice && input.OrderPriceType != THOST_FTDC_OPT_LimitPrice) ||
      input.CombHedgeFlag[0] == 0 || input.VolumeTotalOriginal <= 0 ||
      (!market && !(input.LimitPrice > 0.0) && ins.lowerLimit > 0.0) ||
      (!investor.empty() && investor != session.investorId) || (!exchange.empty() && exchange != ins.def.exchangeId)) {
    return kErrBadField;
  }
  return kErrNone;
}

std::string exchangeRefusal(const CThostFtdcInputOrderField& input, const InstrumentState& ins) {
  const bool market = input.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const int volume = input.VolumeTotalOriginal;
  const double ticks = input.LimitPrice / ins.def.priceTick;
  if (market && refusesMarketOrders(ins.def.exchangeId)) return "不支持市价单";
  if (!market && std::fabs(ticks - std::round(ticks)) > kPriceEpsilon) return "报单价格不是最小变动价位的整数倍";
  if (!market && (input.LimitPrice > ins.upperLimit + kPriceEpsilon || input.LimitPrice < ins.lowerLimit - kPriceEpsilon)) {
    return "报单价格超出涨跌停板";
  }
  if (market ? (volume > ins.def.maxMarketOrderVolume || volume < ins.def.minMarketOrderVolume)
             : (volume > ins.def.maxLimitOrderVolume || volume < ins.def.minLimitOrderVolume)) {
    return "报单数量超出限制";
  }
  return std::string();
}

}  // namespace qvsim

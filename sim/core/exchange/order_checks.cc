#include "core/exchange/order_checks.h"

#include <cmath>

#include "ThostFtdcUserApiDataType.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

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

#include "trading/cash_ratio.h"

#include <cmath>

#include "trading/order_codes.h"

namespace qv {

bool isMarginRatio(double ratio) { return std::isfinite(ratio) && ratio >= 0.0 && ratio < 1.0; }

double cashRatio(const InstrumentInfo& instrument, char direction, char offsetFlag) {
  if (isMarginRatio(instrument.marginRatio)) return instrument.marginRatio;
  const bool longSide = (direction == kDirectionBuy) == (offsetFlag == kOffsetOpen);
  return longSide ? 1.0 : 0.0;
}

double sizingRatio(const InstrumentInfo& instrument) {
  return isMarginRatio(instrument.marginRatio) ? instrument.marginRatio : 1.0;
}

}  // namespace qv

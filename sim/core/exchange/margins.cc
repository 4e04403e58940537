#include "core/exchange/margins.h"

#include <cfloat>

#include "ThostFtdcUserApiDataType.h"
#include "core/text/fields.h"

namespace qvsim {

bool isOption(const InstrumentDef& def) { return def.productClass == THOST_FTDC_PC_Options; }

double marginOf(const InstrumentDef& def, bool longSide, double price, int volume) {
  const double lots = static_cast<double>(volume) * def.multiplier;
  if (!isOption(def)) return price * lots * (longSide ? def.longMarginRatio : def.shortMarginRatio);
  return longSide ? price * lots : def.strikePrice * lots * def.shortMarginRatio;
}

void describeTerms(const InstrumentDef& def, CThostFtdcInstrumentField& record) {
  record.ProductClass = def.productClass;
  record.LongMarginRatio = def.longMarginRatio;
  record.ShortMarginRatio = def.shortMarginRatio;
  record.UnderlyingMultiple = 1.0;
  if (!isOption(def)) return;
  record.LongMarginRatio = DBL_MAX;
  record.ShortMarginRatio = DBL_MAX;
  record.StrikePrice = def.strikePrice;
  record.OptionsType = def.optionsType;
  setText(record.UnderlyingInstrID, def.underlyingId);
}

}  // namespace qvsim

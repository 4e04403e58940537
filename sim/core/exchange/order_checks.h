// The exchange's own checks of an order the broker accepted. Stateless; any thread.
#pragma once

#include <string>

#include "ThostFtdcUserApiStruct.h"
#include "core/exchange/instrument.h"

namespace qvsim {

// Why the exchange refuses an order the broker accepted (UTF-8), or empty: market orders where the
// exchange takes none, a price off the tick grid or outside the price limits, a volume outside the
// exchange's limits.
std::string exchangeRefusal(const CThostFtdcInputOrderField& input, const InstrumentState& ins);

}  // namespace qvsim

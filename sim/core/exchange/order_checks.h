// The checks an order passes on its way in: the broker's check of its fields and the exchange's own
// checks of an order the broker accepted. Stateless; any thread.
#pragma once

#include <string>

#include "ThostFtdcUserApiStruct.h"
#include "core/broker/broker.h"

namespace qvsim {

// kErrNone when the broker takes an order's fields: a known direction, offset and price type, a
// hedge flag, a positive volume, a price for a limit order, and the session's own investor and
// the instrument's exchange when they are given; kErrBadField otherwise.
int checkFields(const BrokerSession& session, const CThostFtdcInputOrderField& input, const InstrumentState& ins);

// Why the exchange refuses an order the broker accepted (UTF-8), or empty: market orders where the
// exchange takes none, a price off the tick grid or outside the price limits, a volume outside the
// exchange's limits.
std::string exchangeRefusal(const CThostFtdcInputOrderField& input, const InstrumentState& ins);

}  // namespace qvsim

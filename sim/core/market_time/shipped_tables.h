// The trading-hours and holiday tables the tree ships (sim/data/market/), as built in.
#pragma once

namespace qvsim {

extern const char* const kShippedTradingHours;
extern const char* const kShippedHolidays;

}  // namespace qvsim

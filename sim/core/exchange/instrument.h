// InstrumentState: one instrument the simulated exchange lists for the trading day, its terms from
// the scenario, the day's price band and the instrument record the trader front sends. Plain
// values, kept by the exchange (core/exchange/exchange.h) under the world lock.
#pragma once

#include <string>

#include "ThostFtdcUserApiStruct.h"
#include "core/scenario/scenario.h"

namespace qvsim {

struct InstrumentState {
  InstrumentDef def;
  double upperLimit = 0.0;
  double lowerLimit = 0.0;
  CThostFtdcInstrumentField field{};
  std::string productKey;  // "exchange.product", the key of its trading hours' phases
  // Kept by the exchange's sessions: its product's phases in the exchange's cache of the market
  // day (`phasesEpoch` names that cache; null when its product has no hours), and the market day
  // whose opening auction it had.
  mutable const struct DayPhases* phases = nullptr;
  mutable long long phasesEpoch = -1;
  int auctionDay = -1;
  // Sets the day's pre-settlement price (rounded to the tick grid) and the price band the
  // instrument's limit ratio makes around it.
  void centreBand(double preSettlement);
};

}  // namespace qvsim

// InstrumentState: one instrument the simulated exchange lists for the trading day, its terms from
// the scenario, the day's price band and the instrument record the trader front sends. Plain
// values, kept by the exchange (core/exchange/exchange.h) under the world lock.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "core/scenario/scenario.h"

namespace qvsim {

struct InstrumentState {
  InstrumentDef def;
  double upperLimit = 0.0;
  double lowerLimit = 0.0;
  CThostFtdcInstrumentField field{};
  // Sets the day's pre-settlement price (rounded to the tick grid) and the price band the
  // instrument's limit ratio makes around it.
  void centreBand(double preSettlement);
};

}  // namespace qvsim

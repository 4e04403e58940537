// Any bytes as a scenario: the loader either accepts a scenario whose numbers are in their sane
// ranges or refuses it with a message, never faults or converts a number out of range.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/scenario/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qvsim::Scenario scenario;
  std::string error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (qvsim::parseScenario(text, scenario, error)) {
    for (const qvsim::InstrumentDef& instrument : scenario.instruments) {
      // What the price generator divides and rounds by.
      if (!(instrument.priceTick >= 1e-4 && instrument.preSettlementPrice / instrument.priceTick < 1e13)) {
        __builtin_trap();
      }
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}

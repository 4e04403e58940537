// Margins: the money an instrument's working orders and open positions hold at the simulated
// broker, by the instrument's terms, and how an instrument record states those terms.
//
// A future holds its side's margin ratio of the value (price x volume x multiplier). An option
// (productClass '2') trades by premium: a bought option holds its premium, the value at the price
// it was bought at; a sold option holds its short margin ratio of its strike's value
// (strike x volume x multiplier), whatever its price. As real fronts do, an option's instrument
// record reports margin ratios of DBL_MAX, with its underlying, strike and option type.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "core/scenario/scenario.h"

namespace qvsim {

bool isOption(const InstrumentDef& def);

// What `volume` lots on the long side (`longSide`) or the short side hold at `price`.
double marginOf(const InstrumentDef& def, bool longSide, double price, int volume);

// Fills the product class, option terms and margin ratios of `record` from `def`.
void describeTerms(const InstrumentDef& def, CThostFtdcInstrumentField& record);

}  // namespace qvsim

// Cash ratios: the share of a value (price x volume x VolumeMultiple) that an order or a trade of
// an instrument moves in usable cash. Pure functions; safe on any thread.
//
// A futures instrument's reported margin ratio is that share, on both sides. Real fronts report
// options with margin ratios of DBL_MAX: a ratio that is not a finite number in [0, 1) is not a
// margin ratio, and the instrument trades by premium instead. Its long side (buy to open, sell to
// close) moves the whole premium; its short side (sell to open, buy to close) moves nothing here,
// since what a sold option holds is the server's to say, and the next account answer brings it.
#ifndef QV_TRADING_CASH_RATIO_H
#define QV_TRADING_CASH_RATIO_H

#include "trading/instrument_info.h"

namespace qv {

// True for a finite ratio in [0, 1).
bool isMarginRatio(double ratio);

// The share moved by an order or trade of `direction` ('0' buy, '1' sell) and `offsetFlag`
// ('0' open, any other a close).
double cashRatio(const InstrumentInfo& instrument, char direction, char offsetFlag);

// The share that sizes a volume from an amount of money, on either side: the margin ratio, or 1
// (the premium) for an instrument without one.
double sizingRatio(const InstrumentInfo& instrument);

}  // namespace qv

#endif  // QV_TRADING_CASH_RATIO_H

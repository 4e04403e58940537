// Volume limits: how a requested order volume is cut to what the instrument accepts in one order
// (its maximum and minimum volume for limit or market orders, in whole lots), and how an amount
// of money is turned into a volume. Pure functions; safe on any thread.
#ifndef QV_TRADING_VOLUME_LIMITS_H
#define QV_TRADING_VOLUME_LIMITS_H

#include <cstdint>

#include "trading/instrument_info.h"

namespace qv {

// The most orders one export call sends; lots beyond them are held back (see entry_call.h).
inline constexpr int32_t kMaxOrdersPerCall = 100;

struct VolumeLimits {
  int32_t max;
  int32_t min;
  int32_t lot;  // at least 1
};

// The limits for limit orders (`isLimitOrder`) or market orders of `instrument`.
VolumeLimits volumeLimits(const InstrumentInfo& instrument, bool isLimitOrder);

// The volume of a close order asked for `requested` lots on a step that may close `available`:
// all that is available (up to the maximum) when the request covers it, nothing below the
// minimum, else whole lots up to the maximum.
int32_t closeLimit(int32_t requested, int32_t available, const VolumeLimits& limits);

// The volume of an opening order asked for `requested` lots: raised to the minimum, cut to the
// maximum, in whole lots; 0 when no volume fits.
int32_t openLimit(int32_t requested, const VolumeLimits& limits);

// The largest volume whose margin at `price` fits `amount`:
// amount / (VolumeMultiple x price x sizingRatio + 0.0001) (cash_ratio.h), truncated toward
// zero and capped at INT32_MAX; -1 when the price is too small to size by (0.010001 or less) or
// the amount is negative.
int32_t volumeForAmount(double amount, double price, const InstrumentInfo& instrument);

// The lots one call may open at `price`: what `usableCash` covers with the instrument's margin per
// lot (VolumeMultiple x price x sizingRatio); `oneOrder` when that covers no lot or the margin is
// not a positive finite number (the exchange then judges one order).
int32_t openVolumeBudget(double usableCash, double price, const InstrumentInfo& instrument,
                         int32_t oneOrder);

// The same sizing for a balance to a money value at `price`; -1 when the price is below one cent,
// the value is negative or the volume does not fit a 32-bit count.
int32_t volumeForValue(double value, double price, const InstrumentInfo& instrument);

}  // namespace qv

#endif  // QV_TRADING_VOLUME_LIMITS_H

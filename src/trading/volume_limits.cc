#include "trading/volume_limits.h"

#include <algorithm>
#include <cmath>

#include "trading/cash_ratio.h"

namespace qv {
namespace {

constexpr double kMaxVolume = 2147483647.0;

double sizingDivisor(double price, const InstrumentInfo& instrument) {
  return instrument.VolumeMultiple * price * sizingRatio(instrument) + 0.0001;
}

int32_t wholeLots(int32_t volume, int32_t lot) { return lot * (volume / lot); }

}  // namespace

VolumeLimits volumeLimits(const InstrumentInfo& instrument, bool isLimitOrder) {
  const int32_t lot = instrument.orderLot > 0 ? instrument.orderLot : 1;
  if (isLimitOrder) return {instrument.MaxLimitOrderVolume, instrument.MinLimitOrderVolume, lot};
  return {instrument.MaxMarketOrderVolume, instrument.MinMarketOrderVolume, lot};
}

int32_t closeLimit(int32_t requested, int32_t available, const VolumeLimits& limits) {
  if (requested >= available) return std::min(limits.max, available);
  if (requested < limits.min) return 0;
  return std::min(limits.max, wholeLots(requested, limits.lot));
}

int32_t openLimit(int32_t requested, const VolumeLimits& limits) {
  const int32_t v = std::min(std::max(requested, limits.min), limits.max);
  if (v < limits.min) return 0;
  return wholeLots(v, limits.lot);
}

int32_t volumeForAmount(double amount, double price, const InstrumentInfo& instrument) {
  if (!(price > 0.010001)) return -1;
  const double volume = std::trunc(amount / sizingDivisor(price, instrument));
  if (!(volume >= 0.0)) return -1;
  if (volume + 0.000001 >= kMaxVolume) return static_cast<int32_t>(kMaxVolume);
  return static_cast<int32_t>(volume);
}

int32_t openVolumeBudget(double usableCash, double price, const InstrumentInfo& instrument,
                         int32_t oneOrder) {
  const double perLot = instrument.VolumeMultiple * price * sizingRatio(instrument);
  if (!(perLot > 0.0) || !std::isfinite(perLot)) return oneOrder;
  const double cash = usableCash > 0.0 ? usableCash : 0.0;  // NaN counts as nothing
  const double covered = std::floor(cash / perLot);
  if (!(covered < kMaxVolume)) return static_cast<int32_t>(kMaxVolume);
  return covered >= 1.0 ? static_cast<int32_t>(covered) : oneOrder;
}

int32_t volumeForValue(double value, double price, const InstrumentInfo& instrument) {
  if (!(price + 0.000001 >= 0.01)) return -1;
  const double volume = value / sizingDivisor(price, instrument);
  if (!(volume >= 0.0) || !(volume + 0.000001 < kMaxVolume)) return -1;
  return static_cast<int32_t>(std::trunc(volume));
}

}  // namespace qv

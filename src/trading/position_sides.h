// PositionSide: one side (long or short) of a CQVPositionField seen through the same roles, so the
// freeze and fill rules are written once for both sides. Plain references into the record; the
// caller holds the position's write lock while it changes them.
#ifndef QV_TRADING_POSITION_SIDES_H
#define QV_TRADING_POSITION_SIDES_H

#include <cstdint>

#include "records/cqv_records.h"

namespace qv {

struct PositionSide {
  int32_t& history;
  int32_t& historyFrozen;
  int32_t& today;
  int32_t& todayFrozen;
  int32_t& volume;
  int32_t& frozen;
  double& turnover;
  double& averageCost;

  // Lots that close orders may still take: all, yesterday's, today's.
  int32_t closable() const { return volume - frozen; }
  int32_t closableHistory() const { return history - historyFrozen; }
  int32_t closableToday() const { return today - todayFrozen; }
};

inline PositionSide longSide(CQVPositionField& p) {
  return {p.LongVolumeHistory, p.LongVolumeHistoryFrozen, p.LongVolumeToday,
          p.LongVolumeTodayFrozen, p.LongVolume, p.LongVolumeFrozen,
          p.LongTurnover, p.LongAverageCost};
}

inline PositionSide shortSide(CQVPositionField& p) {
  return {p.ShortVolumeHistory, p.ShortVolumeHistoryFrozen, p.ShortVolumeToday,
          p.ShortVolumeTodayFrozen, p.ShortVolume, p.ShortVolumeFrozen,
          p.ShortTurnover, p.ShortAverageCost};
}

// The side a close order takes lots from: a sell closes longs, a buy closes shorts.
inline PositionSide closedSide(CQVPositionField& p, bool sells) {
  return sells ? longSide(p) : shortSide(p);
}

}  // namespace qv

#endif  // QV_TRADING_POSITION_SIDES_H

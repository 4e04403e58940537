// Close plans: the ordered steps in which a position side is closed, by the instrument's
// closeMode. Exchanges that close yesterday's and today's lots separately (closeMode '2') take
// yesterday's lots with offset '4' and then today's with '3' (or today's first when asked); every
// other exchange closes the side's total with offset '1'.
//
// Pure functions over a position record; the caller holds the position's lock (at least for
// reading) while it reads the closable volume.
#ifndef QV_TRADING_CLOSE_PLAN_H
#define QV_TRADING_CLOSE_PLAN_H

#include <cstdint>
#include <span>

#include "records/cqv_records.h"

namespace qv {

// Which pair of counters of a side a step may close: yesterday's, today's or all lots.
enum class CloseSlot : char { kHistory, kToday, kTotal };

struct CloseStep {
  char offsetFlag;
  CloseSlot slot;
};

// The steps for `closeMode`; `todayFirst` swaps the two steps of mode '2' and changes nothing else.
std::span<const CloseStep> closePlan(char closeMode, bool todayFirst);

// Lots a step may still close on the long side (`longSide`) or the short side: the slot's volume
// less its frozen part.
int32_t closableVolume(const CQVPositionField& position, bool longSide, CloseSlot slot);

}  // namespace qv

#endif  // QV_TRADING_CLOSE_PLAN_H

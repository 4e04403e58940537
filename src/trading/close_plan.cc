#include "trading/close_plan.h"

#include "trading/order_codes.h"

namespace qv {
namespace {

constexpr char kSplitCloseMode = '2';

constexpr CloseStep kHistoryFirst[] = {{kOffsetCloseYesterday, CloseSlot::kHistory},
                                       {kOffsetCloseToday, CloseSlot::kToday}};
constexpr CloseStep kTodayFirst[] = {{kOffsetCloseToday, CloseSlot::kToday},
                                     {kOffsetCloseYesterday, CloseSlot::kHistory}};
constexpr CloseStep kTotal[] = {{kOffsetClose, CloseSlot::kTotal}};

}  // namespace

std::span<const CloseStep> closePlan(char closeMode, bool todayFirst) {
  if (closeMode != kSplitCloseMode) return kTotal;
  return todayFirst ? std::span<const CloseStep>(kTodayFirst)
                    : std::span<const CloseStep>(kHistoryFirst);
}

int32_t closableVolume(const CQVPositionField& p, bool longSide, CloseSlot slot) {
  switch (slot) {
    case CloseSlot::kHistory:
      return longSide ? p.LongVolumeHistory - p.LongVolumeHistoryFrozen
                      : p.ShortVolumeHistory - p.ShortVolumeHistoryFrozen;
    case CloseSlot::kToday:
      return longSide ? p.LongVolumeToday - p.LongVolumeTodayFrozen
                      : p.ShortVolumeToday - p.ShortVolumeTodayFrozen;
    case CloseSlot::kTotal:
      return longSide ? p.LongVolume - p.LongVolumeFrozen : p.ShortVolume - p.ShortVolumeFrozen;
  }
  return 0;
}

}  // namespace qv

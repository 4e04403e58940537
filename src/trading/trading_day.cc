#include "trading/trading_day.h"

#include <cstring>

#include "base/spin_lock.h"
#include "base/text.h"

namespace qv {
namespace {

SpinFlag dayFlag;
char day[kTradingDaySize] QV_GUARDED_BY(dayFlag) = "00000000";

}  // namespace

std::string currentTradingDay() {
  SpinFlagGuard guard(dayFlag);
  return std::string(day);
}

void copyTradingDay(char (&out)[kTradingDaySize]) {
  SpinFlagGuard guard(dayFlag);
  std::memcpy(out, day, kTradingDaySize);
}

bool advanceTradingDay(const char* newDay) {
  if (newDay == nullptr) return false;
  char candidate[kTradingDaySize];
  copyText(candidate, newDay);
  SpinFlagGuard guard(dayFlag);
  if (std::strcmp(candidate, day) <= 0) return false;
  std::memcpy(day, candidate, kTradingDaySize);
  return true;
}

}  // namespace qv

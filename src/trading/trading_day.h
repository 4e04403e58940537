// The process-wide current trading day: eight digits, "00000000" at load, shared by every client.
// The trader login moves it forward when it reports a later day; new instruments, positions and
// restored orders copy it. Safe on any thread (guarded by a SpinFlag inside).
#ifndef QV_TRADING_TRADING_DAY_H
#define QV_TRADING_TRADING_DAY_H

#include <string>

namespace qv {

inline constexpr size_t kTradingDaySize = 9;

// A copy of the current trading day.
std::string currentTradingDay();

// Copies the current trading day into `out` (kTradingDaySize bytes, terminated).
void copyTradingDay(char (&out)[kTradingDaySize]);

// Replaces the current trading day with `day` when `day` compares greater byte by byte (unsigned,
// first eight bytes); returns whether it did. A null day changes nothing.
bool advanceTradingDay(const char* day);

}  // namespace qv

#endif  // QV_TRADING_TRADING_DAY_H

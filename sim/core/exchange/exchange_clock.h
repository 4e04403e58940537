// The exchange's clock. Outside a replay it is China's wall clock (UTC+8); a replay sets it to the
// time of each snapshot it plays (its ActionDay, else its TradingDay, and UpdateTime with
// UpdateMillisec), so orders, trades and logins carry the replayed market's time. It keeps the
// last replayed time until the next scenario load.
// Lock-free: one atomic word, read by any thread; set by the replay under World::mu.
#pragma once

#include <cstdint>
#include <string>

namespace qvsim {

struct ExchangeTime {
  int date = 0;    // YYYYMMDD
  int millis = 0;  // since midnight
};

// The replayed market's time from now on; a date that is not YYYYMMDD is ignored.
void setReplayedTime(int date, int millisOfDay);
// Back to the wall clock.
void clearReplayedTime();
bool replayedTimeSet();
ExchangeTime exchangeNow();

// The exchange's time and date as the CTP records write them: "HH:MM:SS" and "YYYYMMDD".
std::string chinaTime();
std::string chinaDate();
void formatTime(int millisOfDay, char (&out)[9]);
void formatDate(int date, char (&out)[9]);

// "YYYYMMDD" as a number, or 0 when the text is not a date.
int parseDate(const char* text, std::size_t size);

// Microseconds of the monotonic clock that answer latencies, restore times and paced replays are
// measured on (never the exchange's time).
std::int64_t monotonicMicros();

}  // namespace qvsim

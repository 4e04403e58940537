#include "core/exchange/exchange_clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace qvsim {

namespace {

constexpr int kDayMillis = 24 * 3600 * 1000;

// (date << 32) | millis of the replayed time; 0 while the wall clock runs.
std::atomic<std::uint64_t> replayed{0};

// The civil date of a count of days since 1970-01-01 (proleptic Gregorian calendar).
int civilDate(long long days) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return static_cast<int>(year * 10000 + month * 100 + day);
}

ExchangeTime wallClock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const long long china = static_cast<long long>(ts.tv_sec) + 8 * 3600;
  long long days = china / 86400;
  long long seconds = china % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  return ExchangeTime{civilDate(days), static_cast<int>(seconds * 1000 + ts.tv_nsec / 1000000)};
}

void twoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10 % 10);
  out[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

int parseDate(const char* text, std::size_t size) {
  if (size != 8) return 0;
  int value = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
  }
  const int month = value / 100 % 100;
  const int day = value % 100;
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 ? value : 0;
}

void setReplayedTime(int date, int millisOfDay) {
  if (date < 10000101 || date > 99991231 || millisOfDay < 0 || millisOfDay >= kDayMillis) return;
  replayed.store((static_cast<std::uint64_t>(date) << 32) | static_cast<std::uint32_t>(millisOfDay),
                 std::memory_order_relaxed);
}

void clearReplayedTime() { replayed.store(0, std::memory_order_relaxed); }

bool replayedTimeSet() { return replayed.load(std::memory_order_relaxed) != 0; }

ExchangeTime exchangeNow() {
  const std::uint64_t packed = replayed.load(std::memory_order_relaxed);
  if (packed == 0) return wallClock();
  return ExchangeTime{static_cast<int>(packed >> 32), static_cast<int>(packed & 0xffffffffu)};
}

void formatTime(int millisOfDay, char (&out)[9]) {
  const int seconds = millisOfDay / 1000;
  twoDigits(out, seconds / 3600);
  out[2] = ':';
  twoDigits(out + 3, seconds / 60 % 60);
  out[5] = ':';
  twoDigits(out + 6, seconds % 60);
  out[8] = '\0';
}

void formatDate(int date, char (&out)[9]) {
  twoDigits(out, date / 1000000);
  twoDigits(out + 2, date / 10000);
  twoDigits(out + 4, date / 100);
  twoDigits(out + 6, date);
  out[8] = '\0';
}

std::string chinaTime() {
  char text[9];
  formatTime(exchangeNow().millis, text);
  return std::string(text, 8);
}

std::string chinaDate() {
  char text[9];
  formatDate(exchangeNow().date, text);
  return std::string(text, 8);
}

std::int64_t monotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace qvsim

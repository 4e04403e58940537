#include "base/clock.h"

#include <time.h>

#include <limits>

namespace qv {
namespace {

// A monotonic clock: gaps and time-outs must not jump when the wall clock is set.
int64_t readTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
}

const int64_t kTimeBase = readTicks();

}  // namespace

int64_t timeBaseTicks() { return kTimeBase; }

int64_t nowMicros() { return (readTicks() - kTimeBase) / 10; }

int64_t elapsedSince(int64_t anchor) {
  int64_t elapsed;
  if (!__builtin_sub_overflow(nowMicros(), anchor, &elapsed)) return elapsed;
  // Overflow only happens when the anchor lies beyond the range on the other side of now.
  return anchor < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

void sleepMicros(int64_t micros) {
  if (micros <= 0) return;
  timespec ts{static_cast<time_t>(micros / 1'000'000), static_cast<long>(micros % 1'000'000) * 1000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace qv

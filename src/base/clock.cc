#include "base/clock.h"

#include <time.h>

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

void sleepMicros(int64_t micros) {
  if (micros <= 0) return;
  timespec ts{static_cast<time_t>(micros / 1'000'000), static_cast<long>(micros % 1'000'000) * 1000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace qv

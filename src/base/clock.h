// Clock: the runtime's one time scale, microseconds since a base read once when the library loads.
// Every gap, time-out, pause and time stamp in the runtime is on this scale. Thread-safe: the base
// is constant after load and reading the clock takes no lock.
#ifndef QV_BASE_CLOCK_H
#define QV_BASE_CLOCK_H

#include <cstdint>

namespace qv {

// The base in 100-nanosecond ticks, read once at load.
int64_t timeBaseTicks();

// Microseconds since the base: (ticks now - base) / 10, integer division.
int64_t nowMicros();

// nowMicros() - anchor, saturated to the int64 range: any anchor a caller passes, however far
// off, gives a defined answer (INT64_MAX or INT64_MIN at the ends) instead of an overflow.
int64_t elapsedSince(int64_t anchor);

// Sleeps the calling thread for about `micros` microseconds (nothing for 0 or less).
void sleepMicros(int64_t micros);

}  // namespace qv

#endif  // QV_BASE_CLOCK_H

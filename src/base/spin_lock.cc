#include "base/spin_lock.h"

#include <sched.h>

namespace qv {

void spinPause(uint32_t& round) {
  if (round < 64) {
    ++round;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    sched_yield();
  }
}

}  // namespace qv

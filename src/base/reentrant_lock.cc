#include "base/reentrant_lock.h"

namespace qv {

uint64_t currentThreadTag() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t tag = next.fetch_add(1, std::memory_order_relaxed);
  return tag;
}

}  // namespace qv

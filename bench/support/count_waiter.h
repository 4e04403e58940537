// CountWaiter: a count that one thread raises (for example a library callback) and another waits
// on until it reaches a target. For benchmark drivers, which are not the runtime and may block on
// an OS condition variable.
#ifndef QV_BENCH_SUPPORT_COUNT_WAITER_H
#define QV_BENCH_SUPPORT_COUNT_WAITER_H

#include <condition_variable>
#include <mutex>

namespace qv_bench {

class CountWaiter {
 public:
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  void waitFor(long target) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return count_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long count_ = 0;
};

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_COUNT_WAITER_H

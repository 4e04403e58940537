// SpinFlag and SpinRwLock: the runtime's only locks. There are no OS mutexes or condition variables
// in the runtime; waits are busy loops that pause, then yield the processor.
//
// SpinFlag is one 32-bit word: taken by an atomic test-and-set of bit 0, released by an atomic
// exchange with 0. SpinRwLock is two 32-bit words, a state (0 free, -1 one writer, n > 0 n readers)
// and a count of waiting writers; a reader waits while a writer holds or awaits the lock, so writers
// take precedence over new readers. Both are built on std::atomic acquire/release, so what a holder
// wrote before releasing is visible to the next holder, and ThreadSanitizer sees the edges.
//
// Neither lock is re-entrant: a thread that takes a lock it already holds waits for ever.
// Both are standard-layout and exactly as wide as stated: they head records whose layout the host
// mirrors (an order entry is an 8-byte SpinRwLock followed by its CQVOrderField).
#ifndef QV_BASE_SPIN_LOCK_H
#define QV_BASE_SPIN_LOCK_H

#include <atomic>
#include <cstdint>

#include "base/thread_annotations.h"

namespace qv {

// One step of a busy wait: a processor pause for the first rounds, then a yield so that a holder
// that was preempted (two cores, many threads) gets to run.
void spinPause(uint32_t& round);

class QV_CAPABILITY("mutex") SpinFlag {
 public:
  SpinFlag() = default;
  SpinFlag(const SpinFlag&) = delete;
  SpinFlag& operator=(const SpinFlag&) = delete;

  void lock() QV_ACQUIRE() {
    uint32_t round = 0;
    while (word_.fetch_or(1u, std::memory_order_acquire) & 1u) spinPause(round);
  }
  bool tryLock() QV_TRY_ACQUIRE(true) { return (word_.fetch_or(1u, std::memory_order_acquire) & 1u) == 0; }
  void unlock() QV_RELEASE() { word_.exchange(0u, std::memory_order_release); }
  bool isLocked() const { return (word_.load(std::memory_order_relaxed) & 1u) != 0; }

 private:
  std::atomic<uint32_t> word_{0};
};
static_assert(sizeof(SpinFlag) == 4);

class QV_CAPABILITY("mutex") SpinRwLock {
 public:
  SpinRwLock() = default;
  SpinRwLock(const SpinRwLock&) = delete;
  SpinRwLock& operator=(const SpinRwLock&) = delete;

  void lockWrite() QV_ACQUIRE() {
    // Fast path: a free lock is taken at once; a writer only announces itself (holding back new
    // readers) when it has to wait.
    int32_t free = 0;
    if (state_.compare_exchange_strong(free, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    waitingWriters_.fetch_add(1, std::memory_order_relaxed);
    uint32_t round = 0;
    int32_t expected = 0;
    while (!state_.compare_exchange_weak(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
      expected = 0;
      spinPause(round);
    }
    waitingWriters_.fetch_sub(1, std::memory_order_relaxed);
  }
  void unlockWrite() QV_RELEASE() { state_.store(0, std::memory_order_release); }

  void lockRead() QV_ACQUIRE_SHARED() {
    uint32_t round = 0;
    for (;;) {
      int32_t n = state_.load(std::memory_order_relaxed);
      if (n >= 0 && waitingWriters_.load(std::memory_order_relaxed) == 0 &&
          state_.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
      spinPause(round);
    }
  }
  void unlockRead() QV_RELEASE_SHARED() { state_.fetch_sub(1, std::memory_order_release); }

  int32_t state() const { return state_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> state_{0};
  std::atomic<int32_t> waitingWriters_{0};
};
static_assert(sizeof(SpinRwLock) == 8);

class QV_SCOPED_CAPABILITY SpinFlagGuard {
 public:
  explicit SpinFlagGuard(SpinFlag& flag) QV_ACQUIRE(flag) : flag_(flag) { flag_.lock(); }
  ~SpinFlagGuard() QV_RELEASE() { flag_.unlock(); }
  SpinFlagGuard(const SpinFlagGuard&) = delete;
  SpinFlagGuard& operator=(const SpinFlagGuard&) = delete;

 private:
  SpinFlag& flag_;
};

class QV_SCOPED_CAPABILITY WriteGuard {
 public:
  explicit WriteGuard(SpinRwLock& lock) QV_ACQUIRE(lock) : lock_(lock) { lock_.lockWrite(); }
  ~WriteGuard() QV_RELEASE() { lock_.unlockWrite(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  SpinRwLock& lock_;
};

class QV_SCOPED_CAPABILITY ReadGuard {
 public:
  explicit ReadGuard(SpinRwLock& lock) QV_ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lockRead(); }
  ~ReadGuard() QV_RELEASE() { lock_.unlockRead(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  SpinRwLock& lock_;
};

}  // namespace qv

#endif  // QV_BASE_SPIN_LOCK_H

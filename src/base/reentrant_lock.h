// ReentrantWriter: makes the write side of a SpinRwLock re-entrant for the thread that holds it.
//
// Events reach the host while an order's and its position's locks are held for writing, so that a
// host callable sees the pair of records in a consistent state. Host callables place and cancel
// orders from inside those events, and order entry takes the same position's lock again on the
// same thread. With a ReentrantWriter beside the lock, the owning thread passes through: a nested
// write counts a depth, a nested read by the owner is a no-op, and other threads wait as usual.
//
// The SpinRwLock stays the 8-byte head of its holder (the host's record follows it at +8); the
// ReentrantWriter lives after the record. The owner is written only by the thread that holds the
// write lock, and read by others only to learn that they are not the owner, so relaxed atomics
// suffice there; the lock itself carries the acquire/release edges.
#ifndef QV_BASE_REENTRANT_LOCK_H
#define QV_BASE_REENTRANT_LOCK_H

#include <atomic>
#include <cstdint>

#include "base/spin_lock.h"

namespace qv {

// A small number unique to the calling thread (never 0).
uint64_t currentThreadTag();

// The analysis sees each call as taking or giving back `lock`; the owner's pass-through is beyond
// it, so the bodies are not analysed.
class ReentrantWriter {
 public:
  void lockWrite(SpinRwLock& lock) QV_ACQUIRE(lock) QV_NO_THREAD_SAFETY_ANALYSIS {
    const uint64_t me = currentThreadTag();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    lock.lockWrite();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }
  void unlockWrite(SpinRwLock& lock) QV_RELEASE(lock) QV_NO_THREAD_SAFETY_ANALYSIS {
    if (--depth_ > 0) return;
    owner_.store(0, std::memory_order_relaxed);
    lock.unlockWrite();
  }
  // Takes the lock for reading unless this thread already writes it; returns whether it took it
  // (pass the result to unlockRead).
  bool lockRead(SpinRwLock& lock) QV_ACQUIRE_SHARED(lock) QV_NO_THREAD_SAFETY_ANALYSIS {
    if (owner_.load(std::memory_order_relaxed) == currentThreadTag()) return false;
    lock.lockRead();
    return true;
  }
  void unlockRead(SpinRwLock& lock, bool taken) QV_RELEASE_SHARED(lock)
      QV_NO_THREAD_SAFETY_ANALYSIS {
    if (taken) lock.unlockRead();
  }
  bool heldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == currentThreadTag();
  }

 private:
  std::atomic<uint64_t> owner_{0};
  uint32_t depth_ = 0;  // touched only by the owner
};

// Scoped write / read over a holder: `Holder` has `lock` (SpinRwLock) and `writer`
// (ReentrantWriter). Null holders are allowed and lock nothing; the analysis takes the guard as
// holding `holder->lock` either way, so the conditional bodies are not analysed.
template <typename Holder>
class QV_SCOPED_CAPABILITY HolderWriteGuard {
 public:
  explicit HolderWriteGuard(Holder* holder) QV_ACQUIRE(holder->lock) QV_NO_THREAD_SAFETY_ANALYSIS
      : holder_(holder) {
    if (holder_ != nullptr) holder_->writer.lockWrite(holder_->lock);
  }
  ~HolderWriteGuard() QV_RELEASE() QV_NO_THREAD_SAFETY_ANALYSIS {
    if (holder_ != nullptr) holder_->writer.unlockWrite(holder_->lock);
  }
  HolderWriteGuard(const HolderWriteGuard&) = delete;
  HolderWriteGuard& operator=(const HolderWriteGuard&) = delete;

 private:
  Holder* holder_;
};

template <typename Holder>
class QV_SCOPED_CAPABILITY HolderReadGuard {
 public:
  explicit HolderReadGuard(Holder* holder) QV_ACQUIRE_SHARED(holder->lock)
      QV_NO_THREAD_SAFETY_ANALYSIS : holder_(holder) {
    if (holder_ != nullptr) taken_ = holder_->writer.lockRead(holder_->lock);
  }
  ~HolderReadGuard() QV_RELEASE() QV_NO_THREAD_SAFETY_ANALYSIS {
    if (holder_ != nullptr) holder_->writer.unlockRead(holder_->lock, taken_);
  }
  HolderReadGuard(const HolderReadGuard&) = delete;
  HolderReadGuard& operator=(const HolderReadGuard&) = delete;

 private:
  Holder* holder_;
  bool taken_ = false;
};

}  // namespace qv

#endif  // QV_BASE_REENTRANT_LOCK_H

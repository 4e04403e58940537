#include "base/reentrant_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/clock.h"

namespace qv {
namespace {

struct Holder {
  SpinRwLock lock;
  long value = 0;
  ReentrantWriter writer;
};

// The situation the lock exists for: a thread holding a holder for writing calls back into code
// that takes the same holder again (for writing or reading). It must pass, and the holder must
// stay locked against other threads until the outermost guard ends.
TEST(ReentrantWriter, OwnerPassesThroughNestedWritesAndReads) {
  Holder h;
  std::atomic<bool> otherGotIn{false};
  std::thread other;
  {
    HolderWriteGuard<Holder> outer(&h);
    {
      HolderWriteGuard<Holder> inner(&h);
      HolderReadGuard<Holder> read(&h);
      ++h.value;
    }
    EXPECT_TRUE(h.writer.heldByCurrentThread());
    other = std::thread([&] {
      HolderReadGuard<Holder> read(&h);
      otherGotIn = true;
    });
    sleepMicros(20000);
    EXPECT_FALSE(otherGotIn);  // still held by the outer guard
  }
  other.join();
  EXPECT_TRUE(otherGotIn);
  EXPECT_EQ(h.value, 1);
  EXPECT_EQ(h.lock.state(), 0);
}

TEST(ReentrantWriter, WritersOnDifferentThreadsExcludeEachOther) {
  Holder h;
  std::thread a([&] {
    for (int i = 0; i < 20000; ++i) {
      HolderWriteGuard<Holder> g(&h);
      HolderWriteGuard<Holder> nested(&h);
      ++h.value;
    }
  });
  std::thread b([&] {
    for (int i = 0; i < 20000; ++i) {
      HolderWriteGuard<Holder> g(&h);
      ++h.value;
    }
  });
  a.join();
  b.join();
  EXPECT_EQ(h.value, 40000);
  EXPECT_FALSE(h.writer.heldByCurrentThread());
}

TEST(ReentrantWriter, NullHolderLocksNothing) {
  HolderWriteGuard<Holder> w(nullptr);
  HolderReadGuard<Holder> r(nullptr);
  SUCCEED();
}

}  // namespace
}  // namespace qv

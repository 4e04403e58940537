#include "base/spin_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/clock.h"

namespace qv {
namespace {

// Several threads increment a plain counter under each lock; any lost update shows as a short
// count, and the thread sanitizer build reports the race directly.
TEST(SpinFlag, SerialisesWriters) {
  SpinFlag flag;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        SpinFlagGuard guard(flag);
        ++counter;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 80000);
  EXPECT_FALSE(flag.isLocked());
}

TEST(SpinFlag, TryLockFailsWhileHeld) {
  SpinFlag flag;
  ASSERT_TRUE(flag.tryLock());
  EXPECT_FALSE(flag.tryLock());
  flag.unlock();
  EXPECT_TRUE(flag.tryLock());
  flag.unlock();
}

TEST(SpinRwLock, WritersExcludeReadersAndEachOther) {
  SpinRwLock lock;
  long a = 0, b = 0;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        WriteGuard guard(lock);
        ++a;
        ++b;
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ReadGuard guard(lock);
        if (a != b) torn = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(a, 40000);
  EXPECT_EQ(b, 40000);
  EXPECT_FALSE(torn);
  EXPECT_EQ(lock.state(), 0);
}

// A waiting writer holds back new readers: once the writer announces itself, a reader that
// arrives later cannot get in until the writer has been through.
TEST(SpinRwLock, WaitingWriterTakesPrecedenceOverNewReaders) {
  SpinRwLock lock;
  lock.lockRead();
  std::atomic<int> order{0};
  int writerSeen = -1, readerSeen = -1;
  std::thread writer([&] {
    lock.lockWrite();
    writerSeen = order.fetch_add(1);
    lock.unlockWrite();
  });
  sleepMicros(20000);  // let the writer start waiting
  std::thread reader([&] {
    lock.lockRead();
    readerSeen = order.fetch_add(1);
    lock.unlockRead();
  });
  sleepMicros(20000);
  lock.unlockRead();
  writer.join();
  reader.join();
  EXPECT_EQ(writerSeen, 0);
  EXPECT_EQ(readerSeen, 1);
}

TEST(Clock, MicrosecondsNeverRunBackwards) {
  int64_t last = nowMicros();
  EXPECT_GE(last, 0);
  for (int i = 0; i < 1000; ++i) {
    int64_t now = nowMicros();
    EXPECT_GE(now, last);
    last = now;
  }
  int64_t before = nowMicros();
  sleepMicros(2000);
  EXPECT_GE(nowMicros() - before, 2000);
}

}  // namespace
}  // namespace qv

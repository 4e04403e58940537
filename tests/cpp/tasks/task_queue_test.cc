// The task queue against a scripted owner, in real time with small gaps and time-outs. The test
// thread plays the worker (executeStep) and the response handlers (complete).
#include "tasks/task_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/text.h"

namespace {

using qv::Task;
using qv::TaskQueue;

constexpr int64_t kGap = 50'000;      // default gap, µs
constexpr int64_t kTimeout = 100'000;  // least time-out, µs

class ScriptedOwner final : public qv::TaskOwner {
 public:
  struct Send {
    int32_t taskId;
    int64_t at;
  };
  struct Event {
    int32_t eventId;
    std::string userId;
    int32_t errorId;
    std::string message;
  };

  int64_t runQueryCommand(Task& task) override {
    qv::copyText(task.userId, "u1");
    sends.push_back({task.taskId, qv::nowMicros()});
    seen.push_back(task);
    if (onRun) onRun(task);
    std::deque<int64_t>& queued = results[task.taskId];
    if (queued.empty()) return 0;
    int64_t r = queued.front();
    queued.pop_front();
    return r;
  }
  void raiseTaskEvent(int32_t eventId, const char* userId, int32_t errorId, const char* message) override {
    events.push_back({eventId, userId, errorId, message});
  }

  std::vector<int32_t> sentIds() const {
    std::vector<int32_t> ids;
    for (const Send& s : sends) ids.push_back(s.taskId);
    return ids;
  }

  std::map<int32_t, std::deque<int64_t>> results;  // per task id, the next results; then 0
  std::function<void(Task&)> onRun;
  std::vector<Send> sends;
  std::vector<Task> seen;
  std::vector<Event> events;
};

class TaskQueueTest : public ::testing::Test {
 protected:
  void submit(int32_t taskId, int32_t repeat = 1, uint8_t retry = 0, int64_t gap = -1, int64_t timeout = 0) {
    queue.submit(taskId, nullptr, repeat, retry, gap, timeout);
  }
  // Turns the worker until `done` holds or `limit` µs have passed.
  bool turnUntil(const std::function<bool()>& done, int64_t limit = 2'000'000) {
    const int64_t end = qv::nowMicros() + limit;
    while (!done()) {
      if (qv::nowMicros() > end) return false;
      queue.executeStep();
      qv::sleepMicros(200);
    }
    return true;
  }
  bool turnUntilSends(size_t n) {
    return turnUntil([&] { return owner.sends.size() >= n; });
  }

  ScriptedOwner owner;
  TaskQueue queue{owner, kGap, kTimeout};
};

using Ids = std::vector<int32_t>;

// --- Pacing -------------------------------------------------------------------------------------

TEST_F(TaskQueueTest, FirstTaskGoesAtOnceAndNegativeGapsWaitTheDefaultGap) {
  submit(11101, 1, 0, -1);
  submit(11104, 1, 0, -5);
  queue.executeStep();
  ASSERT_EQ(owner.sentIds(), Ids{11101});
  queue.executeStep();  // a request is outstanding
  EXPECT_EQ(owner.sends.size(), 1u);

  const int64_t answered = qv::nowMicros();
  queue.complete(11101, false);
  queue.executeStep();
  EXPECT_EQ(owner.sends.size(), 1u) << "sent before its gap";
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sends[1].taskId, 11104);
  EXPECT_GE(owner.sends[1].at - answered, kGap);
}

TEST_F(TaskQueueTest, GapZeroIsSentOnTheFirstTurnAfterTheExchangeEnds) {
  submit(11205, 1, 0, 0);
  submit(11207, 1, 0, 0);
  queue.executeStep();
  queue.complete(11205, false);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11205, 11207}));
}

TEST_F(TaskQueueTest, ResetDropsEverythingAndTheNextSendWaitsOneGap) {
  submit(11202);
  submit(11204);
  queue.executeStep();
  const int64_t resetAt = qv::nowMicros();
  queue.reset();
  EXPECT_EQ(queue.size(), 0u);
  queue.complete(11202, false);  // a late answer finds nothing

  submit(11205);
  queue.executeStep();
  EXPECT_EQ(owner.sends.size(), 1u);
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sends[1].taskId, 11205);
  EXPECT_GE(owner.sends[1].at - resetAt, kGap);
}

// --- Repeats and retries --------------------------------------------------------------------------

TEST_F(TaskQueueTest, RepeatedTaskGoesToTheBackBetweenRuns) {
  submit(11401, 3, 0, 0);
  submit(11402, 1, 0, 0);
  for (int i = 0; i < 4; ++i) {
    queue.executeStep();
    queue.complete(owner.sends.back().taskId, false);
  }
  EXPECT_EQ(owner.sentIds(), (Ids{11401, 11402, 11401, 11401}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, RepeatCountZeroOrOneRunsOnce) {
  submit(11401, 0, 0, 0);
  submit(11402, 1, 0, 0);
  for (int i = 0; i < 3; ++i) {
    queue.executeStep();
    queue.complete(owner.sends.back().taskId, false);
  }
  EXPECT_EQ(owner.sentIds(), (Ids{11401, 11402}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, RetriedTaskStaysAtTheFrontWhileItsResponsesCarryErrors) {
  submit(11101, 1, 1, 0);
  submit(11104, 1, 0, 0);
  for (int i = 0; i < 3; ++i) {
    queue.executeStep();
    queue.complete(11101, true);
  }
  queue.executeStep();
  queue.complete(11101, false);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11101, 11101, 11101, 11101, 11104}));
}

TEST_F(TaskQueueTest, ErrorWithoutRetryCountsAsARun) {
  submit(11101, 1, 0, 0);
  submit(11104, 1, 0, 0);
  queue.executeStep();
  queue.complete(11101, true);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11101, 11104}));
}

TEST_F(TaskQueueTest, RefusedSendIsRetriedAfterTheGap) {
  owner.results[11207] = {-2};
  submit(11207, 1, 1);
  queue.executeStep();
  queue.executeStep();
  ASSERT_EQ(owner.sends.size(), 1u) << "retried before its gap";
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sends[1].taskId, 11207);
  EXPECT_GE(owner.sends[1].at - owner.sends[0].at, kGap);
  queue.complete(11207, false);
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, RefusedSendWithoutRetryCountsTowardsTheRepeatCount) {
  owner.results[11207] = {-2, -2};
  owner.results[11205] = {-2};
  submit(11205, 1, 0, 0);  // refused once: its only run
  submit(11207, 2, 0, 0);  // refused twice: both runs, kept at the front in between
  submit(11206, 1, 0, 0);
  ASSERT_TRUE(turnUntilSends(4));
  EXPECT_EQ(owner.sentIds(), (Ids{11205, 11207, 11207, 11206}));
  queue.complete(11206, false);
  EXPECT_EQ(queue.size(), 0u);
}

// --- Matching, time-outs and dropped tasks --------------------------------------------------------

TEST_F(TaskQueueTest, ResponseForAnotherTaskChangesNothingAndTheFrontTimesOut) {
  submit(11205);
  submit(11206);
  queue.executeStep();
  queue.complete(11206, false);
  queue.complete(11205 + 1000, true);
  EXPECT_EQ(queue.size(), 2u);

  ASSERT_TRUE(turnUntil([&] { return !owner.events.empty(); }));
  const int64_t waited = qv::nowMicros() - owner.sends[0].at;
  ASSERT_EQ(owner.events.size(), 1u);
  EXPECT_EQ(owner.events[0].eventId, 11205);
  EXPECT_EQ(owner.events[0].userId, "u1");
  EXPECT_EQ(owner.events[0].errorId, -1002300);
  EXPECT_EQ(owner.events[0].message, "Error:Response Timeout.");
  EXPECT_GE(waited, kTimeout) << "a time-out of 0 is raised to the least time-out";

  // Not retried: dropped after its only run, and 11206 goes one gap later.
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sentIds(), (Ids{11205, 11206}));
  EXPECT_EQ(queue.size(), 1u);
}

TEST_F(TaskQueueTest, TimedOutRetriedTaskIsSentAgain) {
  submit(11103, 1, 1, -1, kTimeout + 10'000);
  queue.executeStep();
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sentIds(), (Ids{11103, 11103}));
  ASSERT_EQ(owner.events.size(), 1u);
  EXPECT_GE(owner.sends[1].at - owner.sends[0].at, kTimeout + 10'000 + kGap);
}

TEST_F(TaskQueueTest, UnknownTaskIsDroppedAndTheNextGoesOnTheFollowingTurn) {
  owner.results[11307] = {qv::kInvalidTaskId};
  submit(11307);
  submit(11205, 1, 0, 10'000'000);  // a long gap that must not apply
  queue.executeStep();
  EXPECT_EQ(queue.size(), 1u);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11307, 11205}));
}

TEST_F(TaskQueueTest, CompletedLogoutEmptiesTheQueue) {
  submit(35, 1, 0, 0);
  submit(11205);
  submit(11207);
  queue.executeStep();
  queue.complete(35, false);
  EXPECT_EQ(queue.size(), 0u);
}

// --- Submission ----------------------------------------------------------------------------------

TEST_F(TaskQueueTest, SubmissionCopiesTheCommandWithoutDayAndUserAndTerminatesTexts) {
  CQVQueryCommandField command;
  std::memset(&command, 'x', sizeof command);  // every text fills its array, unterminated
  command.Price = 2.5;
  command.Volume = 7;
  queue.submit(11202, &command, 1, 0, 0, 0);
  queue.submit(11204, nullptr, 1, 0, 0, 0);
  queue.executeStep();
  queue.complete(11202, false);
  queue.executeStep();
  ASSERT_EQ(owner.seen.size(), 2u);

  const CQVQueryCommandField& copy = owner.seen[0].command;
  EXPECT_EQ(copy.TradingDay[0], '\0');
  EXPECT_EQ(copy.UserID[0], '\0');
  EXPECT_EQ(std::string(copy.StandardID), std::string(80, 'x'));
  EXPECT_EQ(std::string(copy.NodeID), std::string(33, 'x'));
  EXPECT_EQ(std::string(copy.BankID), "xxx");
  EXPECT_EQ(copy.Price, 2.5);
  EXPECT_EQ(copy.Volume, 7);

  CQVQueryCommandField zero{};
  EXPECT_EQ(std::memcmp(&owner.seen[1].command, &zero, sizeof zero), 0);
}

// --- Locking -------------------------------------------------------------------------------------

TEST_F(TaskQueueTest, ExecuteStepOnlyTriesTheLock) {
  // runQueryCommand runs with the queue lock held: a nested step must return at once, not wait.
  owner.onRun = [&](Task&) { queue.executeStep(); };
  submit(11205);
  queue.executeStep();
  EXPECT_EQ(owner.sends.size(), 1u);
}

// Two submitting threads and one completing thread race with the worker. The completer answers
// whatever the worker last sent, so the queue must keep one request outstanding at a time, lose no
// submission and run each task exactly once; run under ThreadSanitizer this also checks that every
// task field is touched only under the queue lock.
TEST(TaskQueueConcurrency, EveryTaskRunsOnceUnderContention) {
  constexpr int kPerThread = 150;
  struct Owner final : qv::TaskOwner {
    int64_t runQueryCommand(Task& task) override {
      ++runs[task.taskId];
      outstanding.store(task.taskId);
      return 0;
    }
    void raiseTaskEvent(int32_t, const char*, int32_t, const char*) override { ++timeouts; }
    std::map<int32_t, int> runs;  // worker thread only
    std::atomic<int32_t> outstanding{0};
    std::atomic<int> timeouts{0};
  } owner;
  TaskQueue queue(owner, 0, 10'000'000);

  std::atomic<int> answered{0};
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load()) {
      queue.executeStep();
      std::this_thread::yield();
    }
  });
  std::thread completer([&] {
    while (answered.load() < 2 * kPerThread) {
      int32_t id = owner.outstanding.exchange(0);
      if (id != 0) {
        queue.complete(id, false);
        answered.fetch_add(1);
      } else {
        std::this_thread::yield();
      }
    }
  });
  auto submitter = [&](int32_t base) {
    for (int i = 0; i < kPerThread; ++i) queue.submit(base + i, nullptr, 1, 0, 0, 0);
  };
  std::thread a(submitter, 100'000);
  std::thread b(submitter, 200'000);
  a.join();
  b.join();
  completer.join();
  stop.store(true);
  worker.join();

  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(owner.timeouts.load(), 0);
  ASSERT_EQ(owner.runs.size(), 2u * kPerThread);
  for (const auto& [id, n] : owner.runs) EXPECT_EQ(n, 1) << id;
}

}  // namespace

// The task queue against a scripted owner, in real time with small gaps and time-outs. The test
// thread plays the worker (executeStep) and the response handlers (complete).
#include "tasks/task_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
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
constexpr int32_t kBusy = 7;           // an answer's error that a retried task is kept for

class ScriptedOwner final : public qv::TaskOwner {
 public:
  struct Send {
    int32_t taskId;
    int32_t requestId;
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
    task.requestId = ++lastRequestId;
    sends.push_back({task.taskId, task.requestId, qv::nowMicros()});
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
    if (onEvent) onEvent();
  }
  bool hostTasksMayRun() const override { return ready.load(); }

  std::vector<int32_t> sentIds() const {
    std::vector<int32_t> ids;
    for (const Send& s : sends) ids.push_back(s.taskId);
    return ids;
  }

  std::map<int32_t, std::deque<int64_t>> results;  // per task id, the next results; then 0
  std::function<void(Task&)> onRun;
  std::function<void()> onEvent;  // inside every raise, after it was recorded
  std::atomic<bool> ready{true};
  int32_t lastRequestId = 0;
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
  // The answer to the last request sent.
  void answer(int32_t taskId, int32_t errorId = 0) { queue.complete(taskId, owner.lastRequestId, errorId); }

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
  answer(11101);
  queue.executeStep();
  EXPECT_EQ(owner.sends.size(), 1u) << "sent before its gap";
  ASSERT_TRUE(turnUntilSends(2));
  EXPECT_EQ(owner.sends[1].taskId, 11104);
  EXPECT_GE(owner.sends[1].at - answered, kGap);
}

TEST_F(TaskQueueTest, AWaitingWorkerWakesOnWorkAndIsToldWhenTheGapEnds) {
  // Without work queued, the wait runs its time out; the flag it leaves is cleared.
  queue.waitForWork(1'000);
  constexpr int64_t kLong = 30'000'000;  // a wait that must end early, far longer than the test

  std::thread answerer([&] {
    qv::sleepMicros(20'000);
    submit(11101, 1, 0, kGap);
  });
  const int64_t before = qv::nowMicros();
  queue.waitForWork(kLong);
  EXPECT_LT(qv::nowMicros() - before, kLong / 2) << "a submitted task did not wake the worker";
  answerer.join();
  EXPECT_EQ(queue.executeStep(), TaskQueue::kNoneDue) << "an outstanding request waits on its answer";
  ASSERT_EQ(owner.sentIds(), Ids{11101});

  submit(11104, 1, 0, kGap);
  queue.waitForWork(0);  // the submission's wake, consumed
  std::thread completer([&] {
    qv::sleepMicros(20'000);
    answer(11101);
  });
  queue.waitForWork(kLong);
  completer.join();
  const int64_t due = queue.executeStep();
  EXPECT_GT(due, 0);
  EXPECT_LE(due, kGap) << "the next task is due once its gap has passed";
  EXPECT_EQ(owner.sends.size(), 1u);
  qv::sleepMicros(due);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11101, 11104}));
}

TEST_F(TaskQueueTest, GapZeroIsSentOnTheFirstTurnAfterTheExchangeEnds) {
  submit(11205, 1, 0, 0);
  submit(11207, 1, 0, 0);
  queue.executeStep();
  answer(11205);
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
  answer(11202);  // a late answer finds nothing

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
    answer(owner.sends.back().taskId);
  }
  EXPECT_EQ(owner.sentIds(), (Ids{11401, 11402, 11401, 11401}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, RepeatCountZeroOrOneRunsOnce) {
  submit(11401, 0, 0, 0);
  submit(11402, 1, 0, 0);
  for (int i = 0; i < 3; ++i) {
    queue.executeStep();
    answer(owner.sends.back().taskId);
  }
  EXPECT_EQ(owner.sentIds(), (Ids{11401, 11402}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, RetriedTaskStaysAtTheFrontWhileItsResponsesCarryErrors) {
  submit(11101, 1, 1, 0);
  submit(11104, 1, 0, 0);
  for (int i = 0; i < 3; ++i) {
    queue.executeStep();
    answer(11101, kBusy);
  }
  queue.executeStep();
  answer(11101);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11101, 11101, 11101, 11101, 11104}));
}

TEST_F(TaskQueueTest, ErrorWithoutRetryCountsAsARun) {
  submit(11101, 1, 0, 0);
  submit(11104, 1, 0, 0);
  queue.executeStep();
  answer(11101, kBusy);
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
  answer(11207);
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
  answer(11206);
  EXPECT_EQ(queue.size(), 0u);
}

// --- Matching, time-outs and dropped tasks --------------------------------------------------------

TEST_F(TaskQueueTest, ResponseForAnotherTaskChangesNothingAndTheFrontTimesOut) {
  submit(11205);
  submit(11206);
  queue.executeStep();
  answer(11206);
  answer(11205 + 1000, kBusy);
  queue.complete(11205, owner.lastRequestId + 1, 0);  // same task, another request
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
  answer(35);
  EXPECT_EQ(queue.size(), 0u);
}

// --- Answers matched to the request sent -------------------------------------------------------

TEST_F(TaskQueueTest, LateAnswerToATimedOutRequestDoesNotCompleteTheNextTaskOfTheSameId) {
  submit(11301, 1, 0, 0);
  queue.executeStep();
  ASSERT_TRUE(turnUntil([&] { return !owner.events.empty(); }));  // timed out, dropped
  const int32_t late = owner.sends[0].requestId;

  submit(11301, 1, 0, kGap);  // the host asks again; it waits its gap
  queue.complete(11301, late, 0);
  EXPECT_EQ(queue.size(), 1u) << "the old answer completed a request never sent";
  ASSERT_TRUE(turnUntilSends(2));
  queue.complete(11301, late, 0);
  EXPECT_EQ(queue.size(), 1u) << "the old answer completed the new request";
  answer(11301);
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, AnswerWithoutARequestIdEndsTheOutstandingRequestOfItsTask) {
  submit(11304, 1, 0, 0);
  queue.complete(11304, qv::kAnyRequest, 0);  // nothing sent yet: nothing to end
  EXPECT_EQ(queue.size(), 1u);
  queue.executeStep();
  queue.complete(11304, qv::kAnyRequest, 0);
  EXPECT_EQ(queue.size(), 0u);
}

// --- Session steps ahead of host tasks -----------------------------------------------------------

TEST_F(TaskQueueTest, SessionStepsGoFirstAndHostTasksWaitUntilTheOwnerIsReady) {
  owner.ready = false;
  submit(11406, 1, 1, 0);  // queued while the front was down, retried while it fails
  queue.submitSessionStep(11103, 0, 0);
  queue.submitSessionStep(11101, 0, 0);
  for (int i = 0; i < 4; ++i) {
    queue.executeStep();
    if (!owner.sends.empty()) answer(owner.sends.back().taskId);
  }
  EXPECT_EQ(owner.sentIds(), (Ids{11103, 11101}));
  EXPECT_EQ(queue.size(), 1u);

  owner.ready = true;
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11103, 11101, 11406}));
}

TEST_F(TaskQueueTest, SessionStepIsRetriedUntilAnsweredWithoutError) {
  queue.submitSessionStep(11101, 0, 0);
  queue.executeStep();
  answer(11101, kBusy);
  queue.executeStep();
  answer(11101);
  EXPECT_EQ(owner.sentIds(), (Ids{11101, 11101}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(TaskQueueTest, NotLoggedInDoesNotKeepARetriedTaskAtTheFront) {
  submit(11406, 2, 1, 0);
  submit(11301, 1, 0, 0);
  queue.executeStep();
  answer(11406, qv::kErrorNotLoggedIn);
  queue.executeStep();
  answer(11301);
  queue.executeStep();
  EXPECT_EQ(owner.sentIds(), (Ids{11406, 11301, 11406})) << "counted as a run, then to the back";
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
  answer(11202);
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

// An event the worker raises reaches a host callable that may queue a task from inside it. The
// callable's submit runs on a helper thread, joined only after the turn, so that a queue lock still
// held by the raising turn shows as a submit that cannot finish, instead of hanging the test.
class TurnEventTest : public TaskQueueTest {
 protected:
  void SetUp() override {
    owner.onEvent = [this] {
      auto done = std::make_shared<std::atomic<bool>>(false);
      hosts.emplace_back([this, done] {
        queue.submit(11406, nullptr, 1, 0, 0, 0);
        *done = true;
      });
      const int64_t end = qv::nowMicros() + 1'000'000;
      while (!*done && qv::nowMicros() < end) qv::sleepMicros(200);
      submittedInside.push_back(done->load());
    };
  }
  void TearDown() override {
    for (std::thread& host : hosts) host.join();
  }
  std::vector<std::thread> hosts;
  std::vector<bool> submittedInside;
};

TEST_F(TurnEventTest, TimeOutIsRaisedWithNoQueueLockHeld) {
  submit(11301);
  queue.executeStep();
  ASSERT_TRUE(turnUntil([&] { return !owner.events.empty(); }));
  EXPECT_EQ(owner.events[0].message, "Error:Response Timeout.");
  EXPECT_EQ(submittedInside, std::vector<bool>{true});
}

TEST_F(TurnEventTest, InvalidTaskIdIsRaisedWithNoQueueLockHeld) {
  owner.results[11307] = {qv::kInvalidTaskId};
  submit(11307);
  queue.executeStep();
  ASSERT_EQ(owner.events.size(), 1u);
  EXPECT_EQ(owner.events[0].message, "Error:Invalid TaskID.");
  EXPECT_EQ(submittedInside, std::vector<bool>{true});
}

TEST_F(TurnEventTest, RefusedSendIsRaisedWithNoQueueLockHeld) {
  owner.results[11406] = {-3};
  submit(11406);
  queue.executeStep();
  ASSERT_EQ(owner.events.size(), 1u);
  EXPECT_EQ(owner.events[0].errorId, -3);
  EXPECT_EQ(owner.events[0].message, "Error:Fail To Sended.");
  EXPECT_EQ(submittedInside, std::vector<bool>{true});
  EXPECT_EQ(queue.size(), 1u) << "the refused task is gone, the one queued from its event stays";
}

// A reset (a lost front, a refused login) that lands while the worker is handing a request to the
// library must leave a queue that sends again: nothing outstanding, the next task one gap later.
TEST_F(TaskQueueTest, ResetDuringASendLeavesAQueueThatSendsAgain) {
  std::atomic<bool> sending{false};
  owner.onRun = [&](Task& task) {
    if (task.taskId != 11202) return;
    sending = true;
    qv::sleepMicros(30'000);  // the reset below starts while the send is in flight
  };
  submit(11202);
  std::thread worker([&] { queue.executeStep(); });
  while (!sending) qv::sleepMicros(100);
  qv::sleepMicros(5'000);
  queue.reset();
  worker.join();

  submit(11205, 1, 0, 0);
  ASSERT_TRUE(turnUntilSends(2)) << "the queue never sent again";
  EXPECT_EQ(owner.sends[1].taskId, 11205);
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
        queue.complete(id, qv::kAnyRequest, 0);
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

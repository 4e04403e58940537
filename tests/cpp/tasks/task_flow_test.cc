// The task queue running the command table, as the trading client wires them: what reaches the
// recording trader API and which events come back, turn by turn.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/text.h"
#include "support/recording_trader_api.h"
#include "tasks/query_commands.h"
#include "tasks/task_queue.h"

namespace {

using qv_test::RecordedCall;

constexpr int64_t kGap = 50'000;
constexpr int64_t kTimeout = 50'000;

struct Event {
  int32_t eventId;
  std::string userId;
  int32_t errorId;
  std::string message;
};

class Client final : public qv::TaskOwner {
 public:
  Client() {
    qv::copyText(login.BrokerID, "9999");
    qv::copyText(login.UserID, "u001");
    qv::copyText(login.InvestorID, "inv01");
  }
  int64_t runQueryCommand(qv::Task& task) override { return commands.run(task); }
  void raiseTaskEvent(int32_t eventId, const char* userId, int32_t errorId, const char* message) override {
    events.push_back({eventId, userId, errorId, message});
  }

  std::vector<Event> events;
  qv_test::RecordingTraderApi api;
  CQVLoginField login{};
  std::atomic<int32_t> counter{0};
  qv::QueryCommands commands{qv::CommandContext{&api, &login, &counter, nullptr}};
  qv::TaskQueue queue{*this, kGap, kTimeout};
};

class TaskFlowTest : public ::testing::Test {
 protected:
  bool turnUntil(const std::function<bool()>& done, int64_t limit = 2'000'000) {
    const int64_t end = qv::nowMicros() + limit;
    while (!done()) {
      if (qv::nowMicros() > end) return false;
      client.queue.executeStep();
      qv::sleepMicros(200);
    }
    return true;
  }
  Client client;
};

TEST_F(TaskFlowTest, InvalidTaskIdIsRaisedOnceAndTheTaskIsGone) {
  client.queue.submit(11307, nullptr, 3, 1, -1, 0);  // repeats and retries must not keep it
  client.queue.submit(11205, nullptr, 1, 0, -1, 0);
  client.queue.executeStep();
  client.queue.executeStep();
  ASSERT_EQ(client.events.size(), 1u);
  EXPECT_EQ(client.events[0].eventId, 11307);
  EXPECT_EQ(client.events[0].errorId, -1003200);
  EXPECT_EQ(client.events[0].message, "Error:Invalid TaskID.");
  EXPECT_EQ(client.api.count("ReqQryInvestorPosition"), 1u);
  EXPECT_EQ(client.queue.size(), 1u);
}

TEST_F(TaskFlowTest, HeldBackAnswerTimesOut) {
  client.queue.submit(11207, nullptr, 1, 0, -1, 0);
  client.queue.executeStep();
  ASSERT_EQ(client.api.count("ReqQryTradingAccount"), 1u);
  ASSERT_TRUE(turnUntil([&] { return !client.events.empty(); }));
  ASSERT_EQ(client.events.size(), 1u);
  EXPECT_EQ(client.events[0].eventId, 11207);
  EXPECT_EQ(client.events[0].userId, "u001");
  EXPECT_EQ(client.events[0].errorId, -1002300);
  EXPECT_EQ(client.events[0].message, "Error:Response Timeout.");
  EXPECT_EQ(client.queue.size(), 0u);
}

TEST_F(TaskFlowTest, RefusedSendIsRaisedAndRetriedAfterTheGap) {
  client.api.queueResults("ReqQryTradingAccount", {-2});
  client.queue.submit(11207, nullptr, 1, 1, -1, 0);
  const int64_t first = qv::nowMicros();
  client.queue.executeStep();
  client.queue.executeStep();
  ASSERT_EQ(client.api.count("ReqQryTradingAccount"), 1u);
  ASSERT_EQ(client.events.size(), 1u);
  EXPECT_EQ(client.events[0].errorId, -2);
  EXPECT_EQ(client.events[0].message, "Error:Fail To Sended.");

  ASSERT_TRUE(turnUntil([&] { return client.api.count("ReqQryTradingAccount") == 2; }));
  EXPECT_GE(qv::nowMicros() - first, kGap);
  std::vector<RecordedCall> calls = client.api.calls();
  EXPECT_EQ(calls[1].requestId, calls[0].requestId + 1);
  client.queue.complete(11207, calls[1].requestId, 0);
  EXPECT_EQ(client.queue.size(), 0u);
}

TEST_F(TaskFlowTest, BankBalanceQueuedAs36CompletesAs11208) {
  CQVQueryCommandField command{};
  qv::copyText(command.BankID, "01");
  client.queue.submit(36, &command, 1, 0, 1'000'000, 3'000'000);
  client.queue.executeStep();
  ASSERT_EQ(client.api.count("ReqQueryBankAccountMoneyByFuture"), 1u);
  const int requestId = client.api.calls()[0].requestId;
  client.queue.complete(36, requestId, 0);
  EXPECT_EQ(client.queue.size(), 1u);
  client.queue.complete(11208, requestId, 0);
  EXPECT_EQ(client.queue.size(), 0u);
}

}  // namespace

// One worker turn per session state: which states run the task queue, and the pause that follows.
#include <gtest/gtest.h>

#include "../trading/fake_clients.h"
#include "api/run_loop.h"
#include "base/text.h"

namespace qv::api {
namespace {

using testing::FakeTraderClient;

CQVLoginField withLoopGap(int64_t loopGap) {
  CQVLoginField login{};
  copyText(login.UserID, "u1");
  login.LoopGap = loopGap;
  login.TaskExecuteGap = 0;
  return login;
}

TEST(LoopGap, NegativeMeansATenthOfASecondZeroMeansNoPause) {
  EXPECT_EQ(loopGapPause(-1), 100000);
  EXPECT_EQ(loopGapPause(0), 0);
  EXPECT_EQ(loopGapPause(2500), 2500);
}

TEST(WorkerTurn, OnlyConnectedAndReadyClientsRunTheirQueue) {
  CQVLoginField login = withLoopGap(0);
  FakeTraderClient client(0, &login);
  client.taskQueue().submitSessionStep(11201, 0, 0);

  for (char state : {kStateCreated, kStateDisconnected, kStateStopped}) {
    client.exchangeSessionState(state);
    EXPECT_EQ(runWorkerTurn(client), 0) << state;
  }
  EXPECT_TRUE(client.calls.empty());

  client.exchangeSessionState(kStateConnected);
  EXPECT_EQ(runWorkerTurn(client), 100000);  // whatever LoopGap says
  ASSERT_EQ(client.calls.size(), 1u);
  EXPECT_EQ(client.calls[0].slot, 3);
  EXPECT_EQ(client.calls[0].args, "11201");
}

TEST(WorkerTurn, ReadyClientPausesByLoopGap) {
  CQVLoginField login = withLoopGap(-7);
  FakeTraderClient client(0, &login);
  client.exchangeSessionState(kStateReady);
  EXPECT_EQ(runWorkerTurn(client), 100000);
  CQVLoginField fast = withLoopGap(0);
  FakeTraderClient fastClient(0, &fast);
  fastClient.exchangeSessionState(kStateReady);
  EXPECT_EQ(runWorkerTurn(fastClient), 0);
}

}  // namespace
}  // namespace qv::api

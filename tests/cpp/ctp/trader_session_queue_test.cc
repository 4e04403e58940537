// The trading client's session and its task queue, on the recording trader API: which request
// goes out turn by turn when the front connects, reconnects, and answers late. The test thread
// plays the worker (executeStep) and the library's callback thread (the On... callbacks).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "ctp/ctp_trader_client.h"
#include "support/recording_trader_api.h"

namespace {

qv_test::RecordingTraderApi* gNextApi = nullptr;

}  // namespace

// The client creates its library object through this factory; here it gets the test's recorder.
CThostFtdcTraderApi* CThostFtdcTraderApi::CreateFtdcTraderApi(const char*) { return gNextApi; }

namespace {

constexpr int32_t kNotLoggedIn = 6;

class TraderSessionQueueTest : public ::testing::Test {
 protected:
  TraderSessionQueueTest() {
    gNextApi = &api;
    CQVLoginField login{};
    qv::copyText(login.UserID, "u1");
    qv::copyText(login.BrokerID, "9999");
    qv::copyText(login.BasePath, "/tmp/qv-session-queue-test");
    login.TaskExecuteGap = 0;
    client = std::make_unique<qv::CtpTraderClient>(0, login, nullptr, nullptr, nullptr);
    gNextApi = nullptr;
    api.clear();
  }

  // One worker turn; the request it sent, or "" when it sent none.
  std::string turn() {
    const size_t before = api.size();
    client->taskQueue().executeStep();
    return api.size() > before ? api.calls().back().method : "";
  }
  int lastRequestId() const { return api.calls().back().requestId; }

  // Answers the last request sent, as the library's thread would, with `errorId`.
  void answer(const std::string& method, int requestId, int errorId = 0) {
    CThostFtdcRspInfoField info{};
    info.ErrorID = errorId;
    qv::CtpTraderClient& c = *client;
    if (method == "ReqAuthenticate") c.OnRspAuthenticate(nullptr, &info, requestId, true);
    if (method == "ReqUserLogin") c.OnRspUserLogin(nullptr, &info, requestId, true);
    if (method == "ReqSettlementInfoConfirm") c.OnRspSettlementInfoConfirm(nullptr, &info, requestId, true);
    if (method == "ReqQryInstrument") c.OnRspQryInstrument(nullptr, &info, requestId, true);
    if (method == "ReqQryOrder") c.OnRspQryOrder(nullptr, &info, requestId, true);
    if (method == "ReqQryTrade") c.OnRspQryTrade(nullptr, &info, requestId, true);
    if (method == "ReqQryInvestorPosition") c.OnRspQryInvestorPosition(nullptr, &info, requestId, true);
    if (method == "ReqQryTradingAccount") c.OnRspQryTradingAccount(nullptr, &info, requestId, true);
    if (method == "ReqQryExchange") c.OnRspQryExchange(nullptr, &info, requestId, true);
    if (method == "ReqQryInvestor") c.OnRspQryInvestor(nullptr, &info, requestId, true);
  }
  // Turns the worker enough times for everything queued, answering each request without error.
  std::vector<std::string> runToQuiet() {
    std::vector<std::string> sent;
    for (int i = 0; i < 30; ++i) {
      const std::string method = turn();
      if (method.empty()) continue;
      sent.push_back(method);
      answer(method, lastRequestId());
    }
    return sent;
  }

  qv_test::RecordingTraderApi api;
  std::unique_ptr<qv::CtpTraderClient> client;
};

using Methods = std::vector<std::string>;
const Methods kChain = {"ReqAuthenticate", "ReqUserLogin", "ReqSettlementInfoConfirm", "ReqQryInstrument",
                        "ReqQryOrder", "ReqQryTrade", "ReqQryInvestorPosition", "ReqQryTradingAccount"};

TEST_F(TraderSessionQueueTest, ChainRunsAheadOfTasksQueuedWhileTheFrontWasDownAndTheyWaitForReady) {
  // Queued before the front connects, one of them retried while it fails.
  client->taskQueue().submit(11406, nullptr, 1, 1, 0, 0);
  client->taskQueue().submit(11301, nullptr, 1, 0, 0, 0);
  client->OnFrontConnected();

  Methods sent = runToQuiet();
  Methods expected = kChain;
  expected.insert(expected.end(), {"ReqQryExchange", "ReqQryInvestor"});
  EXPECT_EQ(sent, expected) << "with no market-data client the chain's last step ends at once";
  EXPECT_EQ(client->sessionState(), qv::kStateReady);
  EXPECT_EQ(client->taskQueue().size(), 0u);
}

TEST_F(TraderSessionQueueTest, NotLoggedInDoesNotPinARetriedHostTask) {
  client->OnFrontConnected();
  runToQuiet();
  ASSERT_EQ(client->sessionState(), qv::kStateReady);

  client->taskQueue().submit(11406, nullptr, 1, 1, 0, 0);
  client->taskQueue().submit(11301, nullptr, 1, 0, 0, 0);
  ASSERT_EQ(turn(), "ReqQryExchange");
  answer("ReqQryExchange", lastRequestId(), kNotLoggedIn);
  EXPECT_EQ(turn(), "ReqQryInvestor");
}

TEST_F(TraderSessionQueueTest, AnswerFromBeforeAReconnectDoesNotCompleteTheNewChainsStep) {
  client->OnFrontConnected();
  ASSERT_EQ(turn(), "ReqAuthenticate");
  const int stale = lastRequestId();
  client->OnFrontDisconnected(4097);
  client->OnFrontConnected();
  ASSERT_EQ(turn(), "ReqAuthenticate");
  const int current = lastRequestId();

  answer("ReqAuthenticate", stale);
  EXPECT_EQ(turn(), "") << "the stale answer let the chain go on";
  answer("ReqAuthenticate", current);
  EXPECT_EQ(turn(), "ReqUserLogin");
}

}  // namespace

// The control surface: flow-control codes, refused and held answers, dropped and restored fronts,
// the request log, delivery of arbitrary callbacks, scenarios, and clean release under load.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "sim_fixture.h"

namespace qvsim_test {
namespace {

class ControlTest : public TraderTest {};

TEST_F(ControlTest, QueryLimitPerSecondAnswersMinusThreeButLeavesOtherRequestsAlone) {
  ready();
  ASSERT_EQ(qvsim_set_flow_control(1, 0), 0);
  CThostFtdcQryOrderField q{};
  ASSERT_EQ(api->ReqQryOrder(&q, 1), 0);
  EXPECT_EQ(api->ReqQryOrder(&q, 2), -3);
  EXPECT_EQ(confirm("u1").errorId, 0) << "confirmation is not a query";
}

TEST_F(ControlTest, TooManyWaitingRequestsAnswerMinusTwoUntilTheAnswersArrive) {
  ready();
  ASSERT_EQ(qvsim_set_flow_control(0, 2), 0);
  ASSERT_EQ(qvsim_hold_answers("ReqQryTrade", -1), 0);
  CThostFtdcQryTradeField q{};
  ASSERT_EQ(api->ReqQryTrade(&q, 1), 0);
  ASSERT_EQ(api->ReqQryTrade(&q, 2), 0);
  EXPECT_EQ(api->ReqQryTrade(&q, 3), -2);
  ASSERT_EQ(qvsim_clear_rules(), 0);
  EXPECT_EQ(qvsim_release_held(), 2);
  waitAnswer("OnRspQryTrade", 2);
  spi.recorder.waitUntil([&](const std::vector<Event>&) { return api->ReqQryTrade(&q, 4) == 0; });
  EXPECT_EQ(waitAnswer("OnRspQryTrade", 4).requestId, 4);
  EXPECT_EQ(answers("OnRspQryTrade", 1).size(), 1u);
}

TEST_F(ControlTest, RefusedRequestsReturnTheChosenCodeAndAreLogged) {
  ASSERT_EQ(qvsim_clear_requests(), 0);
  ASSERT_EQ(qvsim_refuse_requests("T:ReqAuthenticate", -2, 1), 0);
  CThostFtdcReqAuthenticateField req{};
  put(req.BrokerID, "9999");
  EXPECT_EQ(api->ReqAuthenticate(&req, 5), -2);
  EXPECT_EQ(authenticate("u1").errorId, 0) << "the rule was for one request";
  char apiKind = 0;
  char name[64];
  int id = 0, result = 0;
  ASSERT_EQ(qvsim_request_at(0, &apiKind, name, sizeof(name), &id, &result, nullptr, 0),
            static_cast<int>(sizeof(CThostFtdcReqAuthenticateField)));
  EXPECT_EQ(apiKind, 'T');
  EXPECT_STREQ(name, "ReqAuthenticate");
  EXPECT_EQ(id, 5);
  EXPECT_EQ(result, -2);
}

TEST_F(ControlTest, RequestLogKeepsTheRecordBytesAsSent) {
  ready();
  ASSERT_EQ(qvsim_clear_requests(), 0);
  CThostFtdcQryInstrumentField q{};
  put(q.InstrumentID, "rb2605");
  put(q.ExchangeID, "SHFE");
  ASSERT_EQ(api->ReqQryInstrument(&q, 77), 0);
  ASSERT_EQ(qvsim_request_count(), 1);
  CThostFtdcQryInstrumentField logged{};
  int id = 0;
  char name[8];
  ASSERT_EQ(qvsim_request_at(0, nullptr, name, sizeof(name), &id, nullptr, &logged, sizeof(logged)),
            static_cast<int>(sizeof(logged)));
  EXPECT_STREQ(name, "ReqQryI") << "names are cut to the buffer";
  EXPECT_EQ(id, 77);
  EXPECT_EQ(std::memcmp(&logged, &q, sizeof(q)), 0);
  EXPECT_EQ(qvsim_request_at(1, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0), QVSIM_ERR_ARGUMENT);
}

TEST_F(ControlTest, RequestsBeforeInitAnswerMinusOne) {
  CThostFtdcTraderApi* idle = CThostFtdcTraderApi::CreateFtdcTraderApi("");
  CThostFtdcQryOrderField q{};
  EXPECT_EQ(idle->ReqQryOrder(&q, 1), -1);
  EXPECT_EQ(idle->ReqQryOrder(nullptr, 2), -1) << "a null record is taken as empty, not dereferenced";
  idle->Release();
}

TEST_F(ControlTest, DroppedFrontLosesItsAnswersAndTheSessionLogsInAgainAfterRestore) {
  ready();
  ASSERT_EQ(qvsim_hold_answers("ReqQryOrder", 1), 0);
  CThostFtdcQryOrderField q{};
  ASSERT_EQ(api->ReqQryOrder(&q, 1), 0);
  ASSERT_EQ(qvsim_drop_front('T', 4097, 0), 1);
  EXPECT_EQ(spi.recorder.waitFor("OnFrontDisconnected").number, 4097);
  EXPECT_EQ(api->ReqQryOrder(&q, 2), -1);
  EXPECT_EQ(qvsim_release_held(), 0) << "held answers were lost with the connection";

  ASSERT_EQ(qvsim_restore_front('T'), 0);
  ASSERT_EQ(spi.recorder.waitFor("OnFrontConnected", 2).name, "OnFrontConnected");
  ASSERT_EQ(api->ReqQryOrder(&q, 3), 0);
  EXPECT_EQ(waitAnswer("OnRspQryOrder", 3).errorId, 6) << "a new connection is not logged in";
  ready();

  // A front dropped with a restore time comes back by itself.
  ASSERT_EQ(qvsim_drop_front('T', 4098, 20000), 1);
  EXPECT_EQ(spi.recorder.waitFor("OnFrontDisconnected", 2).number, 4098);
  EXPECT_EQ(spi.recorder.waitFor("OnFrontConnected", 3).name, "OnFrontConnected");
  const auto events = spi.recorder.all();
  std::vector<std::string> connection;
  for (const Event& e : events) {
    if (e.name == "OnFrontConnected" || e.name == "OnFrontDisconnected") connection.push_back(e.name);
  }
  EXPECT_EQ(connection, (std::vector<std::string>{"OnFrontConnected", "OnFrontDisconnected", "OnFrontConnected",
                                                  "OnFrontDisconnected", "OnFrontConnected"}));
}

TEST_F(ControlTest, DeliversAnyCallbackWithTheGivenRecordAndInfo) {
  CThostFtdcInstrumentStatusField status{};
  put(status.InstrumentID, "rb2605");
  status.InstrumentStatus = '2';
  EXPECT_EQ(qvsim_deliver('T', "OnRtnInstrumentStatus", &status, sizeof(status), 0, 0, nullptr, 0, 1), 1);
  const Event e = spi.recorder.waitFor("OnRtnInstrumentStatus");
  EXPECT_EQ(std::memcmp(e.record.data(), &status, sizeof(status)), 0);

  EXPECT_EQ(qvsim_deliver('T', "OnRspQryExchangeRate", nullptr, 0, 1, 42, "\xb4\xed", 9, 0), 1);
  const Event rsp = spi.recorder.waitFor("OnRspQryExchangeRate");
  EXPECT_TRUE(rsp.record.empty());
  EXPECT_EQ(rsp.errorId, 42);
  EXPECT_EQ(rsp.errorMsg, "\xb4\xed");
  EXPECT_EQ(rsp.requestId, 9);
  EXPECT_FALSE(rsp.isLast);

  EXPECT_EQ(qvsim_deliver('T', "OnHeartBeatWarning", nullptr, 0, 0, 30, nullptr, 0, 1), 1);
  EXPECT_EQ(spi.recorder.waitFor("OnHeartBeatWarning").number, 30);

  EXPECT_EQ(qvsim_deliver('T', "OnRtnInstrumentStatus", &status, 3, 0, 0, nullptr, 0, 1), QVSIM_ERR_SIZE);
  EXPECT_EQ(qvsim_deliver('T', "OnNothing", nullptr, 0, 0, 0, nullptr, 0, 1), QVSIM_ERR_UNKNOWN);
  char message[128];
  EXPECT_GT(qvsim_last_error(message, sizeof(message)), 0);
  EXPECT_NE(std::string(message).find("OnNothing"), std::string::npos);
}

TEST(ScenarioControl, RejectsDamagedScenariosAndKeepsTheLoadedOne) {
  ASSERT_EQ(qvsim_reset(), 0);
  char day[16];
  ASSERT_EQ(qvsim_trading_day(day, sizeof(day)), 8);
  struct Case {
    const char* json;
    const char* mentions;
  } cases[] = {
      {"{\"tradingDay\": ", "parse"},
      {"[1, 2]", "object"},
      {"{\"tradingDay\": \"2026-01-08\"}", "tradingDay"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"LME\", \"preSettlementPrice\": 1}]}", "LME"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\"}]}", "preSettlementPrice"},
      {"{\"positions\": [{\"userId\": \"u\", \"instrumentId\": \"nope\"}]}", "nope"},
      {"{\"initialFunds\": \"many\"}", "initialFunds"},
      // Numbers outside what the stand-in can compute with are refused with the key named.
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\", \"priceTick\": 1e-308, "
       "\"preSettlementPrice\": 3000}]}",
       "instruments[0].priceTick 1e-308 is outside"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\", \"multiplier\": 1e20, "
       "\"preSettlementPrice\": 3000}]}",
       "instruments[0].multiplier 1e+20"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\", \"preSettlementPrice\": 1e300}]}",
       "preSettlementPrice 1e+300 is outside"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\", \"marginRatio\": 7, "
       "\"preSettlementPrice\": 3000}]}",
       "longMarginRatio 7"},
      {"{\"initialFunds\": 1e300}", "initialFunds 1e+300 is outside"},
      {"{\"instruments\": [{\"instrumentId\": \"x1\", \"exchangeId\": \"DCE\", \"preSettlementPrice\": 30, "
       "\"optionType\": \"call\", \"underlying\": \"m2705\", \"strike\": 1e200}]}",
       "instruments[0].strike 1e+200 is outside"},
      {"{\"users\": [{\"userId\": \"u\", \"funds\": -1e300}]}", "users[0].funds -1e+300 is outside"},
      {"{\"positions\": [{\"userId\": \"u\", \"instrumentId\": \"rb2705\", \"today\": 4294967296}]}",
       "positions[0].today 4294967296 is out of range"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qvsim_load_scenario_json(c.json), QVSIM_ERR_SCENARIO) << c.json;
    char message[256];
    qvsim_last_error(message, sizeof(message));
    EXPECT_NE(std::string(message).find(c.mentions), std::string::npos) << message;
  }
  char after[16];
  qvsim_trading_day(after, sizeof(after));
  EXPECT_STREQ(after, day);
  EXPECT_EQ(qvsim_load_scenario_file("/nonexistent/scenario.json"), QVSIM_ERR_SCENARIO);
  EXPECT_EQ(qvsim_load_scenario_json(nullptr), QVSIM_ERR_ARGUMENT);
}

// The built-in scenario takes the public simulated environment's values, so an existing
// configuration (broker 9999, its app id and auth code, any user) logs in unchanged.
TEST_F(ControlTest, BuiltInScenarioAcceptsTheDefaultConfiguration) {
  ASSERT_EQ(qvsim_reset(), 0);
  ASSERT_EQ(qvsim_set_latency(0), 0);
  ASSERT_EQ(qvsim_set_flow_control(0, 0), 0);
  ASSERT_EQ(authenticate("123456").errorId, 0);
  ASSERT_EQ(login("123456", "any").errorId, 0);
  CThostFtdcQryInstrumentField q{};
  ASSERT_EQ(api->ReqQryInstrument(&q, 90), 0);
  std::set<std::string> exchanges;
  for (const Event& e : answers("OnRspQryInstrument", 90)) {
    const auto ins = e.as<CThostFtdcInstrumentField>();
    exchanges.insert(text(ins.ExchangeID));
    EXPECT_GT(ins.VolumeMultiple, 0);
    EXPECT_GT(ins.PriceTick, 0.0);
    if (text(ins.ProductID) == "IF") {
      EXPECT_EQ(ins.VolumeMultiple, 300);
    }
    if (text(ins.ProductID) == "rb") {
      EXPECT_EQ(ins.VolumeMultiple, 10);
    }
  }
  EXPECT_EQ(exchanges, (std::set<std::string>{"SHFE", "INE", "DCE", "CZCE", "CFFEX"}));
}

// Release under load. Several objects are kept busy (hundreds of answers queued, callbacks that
// send further requests, one object releasing itself from inside its own callback) and released
// while their threads are delivering. Under the address and thread sanitizers this proves that
// Release stops the library thread, frees the object and leaves no race with queued work.
class ReleasingSpi final : public CThostFtdcTraderSpi {
 public:
  virtual ~ReleasingSpi() = default;
  void OnFrontConnected() override { connected = true; }
  void OnRspQryOrder(CThostFtdcOrderField*, CThostFtdcRspInfoField*, int, bool) override {
    if (++answers == 5) {
      api->Release();
      released = true;
    }
  }
  CThostFtdcTraderApi* api = nullptr;
  std::atomic<bool> connected{false};
  std::atomic<bool> released{false};
  std::atomic<int> answers{0};
};

TEST(ReleaseUnderLoad, ReleasingBusyObjectsIsClean) {
  ASSERT_EQ(qvsim_reset(), 0);
  ASSERT_EQ(qvsim_set_flow_control(0, 0), 0);
  ASSERT_EQ(qvsim_set_latency(0), 0);
  for (int round = 0; round < 5; ++round) {
    std::vector<CThostFtdcTraderApi*> apis;
    std::vector<std::unique_ptr<RecordingTraderSpi>> spis;
    for (int i = 0; i < 3; ++i) {
      spis.push_back(std::make_unique<RecordingTraderSpi>());
      apis.push_back(CThostFtdcTraderApi::CreateFtdcTraderApi(""));
      apis.back()->RegisterSpi(spis.back().get());
      apis.back()->Init();
    }
    for (auto& s : spis) s->recorder.waitFor("OnFrontConnected");
    std::vector<std::thread> senders;
    for (auto* a : apis) {
      senders.emplace_back([a] {
        CThostFtdcQryTradingAccountField q{};
        for (int id = 1; id <= 200; ++id) a->ReqQryTradingAccount(&q, id);
      });
    }
    for (auto& t : senders) t.join();
    for (auto* a : apis) a->Release();
  }

  ReleasingSpi self;
  self.api = CThostFtdcTraderApi::CreateFtdcTraderApi("");
  self.api->RegisterSpi(&self);
  self.api->Init();
  while (!self.connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Every request is sent before the first answer goes out: the object is gone after the fifth.
  ASSERT_EQ(qvsim_hold_answers("ReqQryOrder", -1), 0);
  CThostFtdcQryOrderField q{};
  for (int id = 1; id <= 50; ++id) self.api->ReqQryOrder(&q, id);
  ASSERT_EQ(qvsim_clear_rules(), 0);
  ASSERT_EQ(qvsim_release_held(), 50);
  while (!self.released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The object frees itself once its callback returns; wait until it has left the world.
  while (qvsim_session_count('T') != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(self.answers.load(), 5);
}

}  // namespace
}  // namespace qvsim_test

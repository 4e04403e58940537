// The simulated market-data front: login, one response per instrument for subscriptions, the
// generated snapshot stream, pushed snapshots, and a lost front forgetting its subscriptions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "ThostFtdcMdApi.h"
#include "sim_fixture.h"

namespace qvsim_test {
namespace {

class MdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qvsim_reset(), 0);
    ASSERT_EQ(qvsim_set_latency(0), 0);
    ASSERT_EQ(qvsim_set_md_rate(0), 0);
    ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
    api = CThostFtdcMdApi::CreateFtdcMdApi("", false, false);
    ASSERT_NE(api, nullptr);
    api->RegisterSpi(&spi);
    char front[] = "tcp://127.0.0.1:41213";
    api->RegisterFront(front);
    api->Init();
    ASSERT_EQ(spi.recorder.waitFor("OnFrontConnected").name, "OnFrontConnected");
  }

  void TearDown() override {
    if (api != nullptr) api->Release();
  }

  void login(int count = 1) {
    CThostFtdcReqUserLoginField req{};
    put(req.BrokerID, "9999");
    put(req.UserID, "u1");
    ASSERT_EQ(api->ReqUserLogin(&req, count), 0);
    const Event e = spi.recorder.waitFor("OnRspUserLogin", count);
    ASSERT_EQ(e.errorId, 0);
    EXPECT_EQ(text(e.as<CThostFtdcRspUserLoginField>().TradingDay), "20260108");
  }

  int subscribe(std::vector<std::string> codes) {
    std::vector<char*> ids;
    for (auto& c : codes) ids.push_back(c.data());
    return api->SubscribeMarketData(ids.data(), static_cast<int>(ids.size()));
  }

  RecordingMdSpi spi;
  CThostFtdcMdApi* api = nullptr;
};

TEST_F(MdTest, SubscriptionsAnswerOnePerInstrumentWithTheLastMarked) {
  login();
  ASSERT_EQ(subscribe({"rb2605", "m2605", "nothing1"}), 0);
  spi.recorder.waitFor("OnRspSubMarketData", 3);
  const auto rsps = spi.recorder.named("OnRspSubMarketData");
  ASSERT_EQ(rsps.size(), 3u);
  EXPECT_EQ(text(rsps[0].as<CThostFtdcSpecificInstrumentField>().InstrumentID), "rb2605");
  EXPECT_EQ(text(rsps[2].as<CThostFtdcSpecificInstrumentField>().InstrumentID), "nothing1");
  EXPECT_FALSE(rsps[0].isLast);
  EXPECT_TRUE(rsps[2].isLast);

  char logged[64] = {};
  const int n = qvsim_request_count();
  char name[32];
  ASSERT_EQ(qvsim_request_at(n - 1, nullptr, name, sizeof(name), nullptr, nullptr, logged, sizeof(logged)), 22);
  EXPECT_STREQ(name, "SubscribeMarketData");
  EXPECT_EQ(std::string(logged, 22), std::string("rb2605\0m2605\0nothing1\0", 22));

  std::vector<std::string> one = {"m2605"};
  std::vector<char*> ids = {one[0].data()};
  ASSERT_EQ(api->UnSubscribeMarketData(ids.data(), 1), 0);
  EXPECT_TRUE(spi.recorder.waitFor("OnRspUnSubMarketData").isLast);
}

// Every snapshot of the stream is one an exchange could send: prices on the tick grid inside the
// limits, five ordered levels each side, volume and turnover that never go down.
TEST_F(MdTest, StreamedSnapshotsAreWellFormed) {
  ASSERT_EQ(qvsim_set_md_rate(200), 0);
  login();
  ASSERT_EQ(subscribe({"rb2605", "IF2601"}), 0);
  spi.recorder.waitUntil([](const std::vector<Event>& events) {
    std::map<std::string, int> counts;
    for (const Event& e : events) {
      if (e.name == "OnRtnDepthMarketData") ++counts[text(e.as<CThostFtdcDepthMarketDataField>().InstrumentID)];
    }
    return counts["rb2605"] >= 20 && counts["IF2601"] >= 20;
  });
  std::map<std::string, CThostFtdcDepthMarketDataField> previous;
  const std::map<std::string, std::pair<double, std::pair<double, double>>> grid = {
      {"rb2605", {1.0, {3255.0, 3745.0}}}, {"IF2601", {0.2, {3420.0, 4180.0}}}};
  for (const Event& e : spi.recorder.named("OnRtnDepthMarketData")) {
    const auto d = e.as<CThostFtdcDepthMarketDataField>();
    const std::string id = text(d.InstrumentID);
    const double tick = grid.at(id).first;
    EXPECT_DOUBLE_EQ(d.UpperLimitPrice, grid.at(id).second.second);
    EXPECT_DOUBLE_EQ(d.LowerLimitPrice, grid.at(id).second.first);
    const double prices[] = {d.LastPrice, d.BidPrice1, d.BidPrice5, d.AskPrice1, d.AskPrice5};
    for (double p : prices) {
      EXPECT_NEAR(p / tick, std::round(p / tick), 1e-6) << id << " " << p;
      EXPECT_GE(p, d.LowerLimitPrice);
      EXPECT_LE(p, d.UpperLimitPrice);
    }
    EXPECT_LT(d.BidPrice1, d.AskPrice1);
    EXPECT_GT(d.BidPrice1, d.BidPrice2);
    EXPECT_LT(d.AskPrice4, d.AskPrice5);
    EXPECT_GT(d.BidVolume5, 0);
    EXPECT_EQ(text(d.TradingDay), "20260108");
    if (previous.count(id)) {
      EXPECT_GE(d.Volume, previous[id].Volume);
      EXPECT_GE(d.Turnover, previous[id].Turnover);
    }
    previous[id] = d;
  }
}

TEST_F(MdTest, PushedSnapshotsReachSubscribersAsGiven) {
  login();
  ASSERT_EQ(subscribe({"rb2605"}), 0);
  spi.recorder.waitFor("OnRspSubMarketData");
  CThostFtdcDepthMarketDataField d{};
  put(d.InstrumentID, "rb2605");
  put(d.ExchangeID, "SHFE");
  put(d.UpdateTime, "09:30:00");
  d.LastPrice = 3512.0;
  d.BidPrice1 = 3511.0;
  d.AskPrice1 = 3512.0;
  d.Volume = 77;
  EXPECT_EQ(qvsim_push_depth(&d, sizeof(d)), 1);
  const Event e = spi.recorder.waitFor("OnRtnDepthMarketData");
  EXPECT_EQ(std::memcmp(e.record.data(), &d, sizeof(d)), 0);

  put(d.InstrumentID, "m2605");
  EXPECT_EQ(qvsim_push_depth(&d, sizeof(d)), 0) << "nobody subscribed m2605";
  EXPECT_EQ(qvsim_push_depth(&d, 10), QVSIM_ERR_SIZE);
}

TEST_F(MdTest, LostFrontForgetsLoginAndSubscriptions) {
  login();
  ASSERT_EQ(subscribe({"rb2605"}), 0);
  spi.recorder.waitFor("OnRspSubMarketData");
  ASSERT_EQ(qvsim_drop_front('M', 0x1001, 10000), 1);
  EXPECT_EQ(spi.recorder.waitFor("OnFrontDisconnected").number, 0x1001);
  ASSERT_EQ(spi.recorder.waitFor("OnFrontConnected", 2).name, "OnFrontConnected");
  login(2);
  CThostFtdcDepthMarketDataField d{};
  put(d.InstrumentID, "rb2605");
  EXPECT_EQ(qvsim_push_depth(&d, sizeof(d)), 0);
}

TEST_F(MdTest, SubscribingBeforeLoginIsRefusedPerInstrument) {
  ASSERT_EQ(subscribe({"rb2605"}), 0);
  EXPECT_EQ(spi.recorder.waitFor("OnRspSubMarketData").errorId, 6);
}

// A market-data object that releases itself from inside its first snapshot gets no second one,
// although several subscribed instruments had fresh snapshots at that moment.
class ReleasingMdSpi final : public CThostFtdcMdSpi {
 public:
  virtual ~ReleasingMdSpi() = default;
  void OnFrontConnected() override { connected = true; }
  void OnRspUserLogin(CThostFtdcRspUserLoginField*, CThostFtdcRspInfoField*, int, bool) override { loggedIn = true; }
  void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField*) override {
    if (++snapshots == 1) {
      api->Release();
      released = true;
    }
  }
  CThostFtdcMdApi* api = nullptr;
  std::atomic<bool> connected{false};
  std::atomic<bool> loggedIn{false};
  std::atomic<bool> released{false};
  std::atomic<int> snapshots{0};
};

TEST(MdRelease, ReleaseFromInsideASnapshotStopsTheStream) {
  ASSERT_EQ(qvsim_reset(), 0);
  ASSERT_EQ(qvsim_set_latency(0), 0);
  ASSERT_EQ(qvsim_set_md_rate(0), 0);
  ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
  ReleasingMdSpi spi;
  spi.api = CThostFtdcMdApi::CreateFtdcMdApi("", false, false);
  spi.api->RegisterSpi(&spi);
  spi.api->Init();
  while (!spi.connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CThostFtdcReqUserLoginField req{};
  ASSERT_EQ(spi.api->ReqUserLogin(&req, 1), 0);
  while (!spi.loggedIn) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<std::string> codes = {"rb2605", "sc2605", "m2605", "SR605", "IF2601"};
  std::vector<char*> ids;
  for (auto& c : codes) ids.push_back(c.data());
  ASSERT_EQ(spi.api->SubscribeMarketData(ids.data(), static_cast<int>(ids.size())), 0);
  ASSERT_EQ(qvsim_set_md_rate(1000), 0);
  while (!spi.released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (qvsim_session_count('M') != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(spi.snapshots.load(), 1);
  ASSERT_EQ(qvsim_set_md_rate(2), 0);
}

}  // namespace
}  // namespace qvsim_test

// Replay of tick files: a file replayed twice gives the same fills, the generator stays quiet for
// replayed instruments while subscribers get exactly the file's snapshots, progress and waiting,
// and files the replay refuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <set>

#include "ThostFtdcMdApi.h"
#include "sim_fixture.h"

namespace qvsim_test {
namespace {

// rb2605 wanders around 3500; m2605 stays put.
std::string writeTicks(int rows) {
  const std::string path = "/tmp/qvsim_replay_" + std::to_string(getpid()) + ".csv";
  std::ofstream out(path);
  out << "TradingDay,InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,Volume,BidPrice1,BidVolume1,"
         "AskPrice1,AskVolume1,UpperLimitPrice,LowerLimitPrice,PreSettlementPrice\n";
  for (int i = 0; i < rows; ++i) {
    const int price = 3500 + (i * 7 % 11) - 5;
    out << "20260108,rb2605,SHFE,09:00:" << (i / 2 < 10 ? "0" : "") << i / 2 << "," << (i % 2) * 500 << "," << price
        << "," << 100 + i * 3 << "," << price - 1 << ",4," << price << ",3,3745,3255,3500\n";
  }
  out << "20260108,m2605,DCE,09:00:59,0,3000,10,2999,1,3000,1,3180,2820,3000\n";
  return path;
}

class ReplayTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    ready();
    path = writeTicks(40);
  }
  void TearDown() override {
    qvsim_replay_stop();
    std::remove(path.c_str());
    TraderTest::TearDown();
  }

  // A ladder of resting buys and sells around the file's prices, the file replayed as fast as it
  // goes, and the trades it made.
  std::vector<std::pair<double, int>> tradeTheFile() {
    int ref = 100;
    for (int offset = 1; offset <= 4; ++offset) {
      auto buy = order("rb2605", '0', '0', 3500 - offset, 2, std::to_string(++ref));
      auto sell = order("rb2605", '1', '0', 3500 + offset, 2, std::to_string(++ref));
      EXPECT_EQ(api->ReqOrderInsert(&buy, ++requestId), 0);
      EXPECT_EQ(api->ReqOrderInsert(&sell, ++requestId), 0);
    }
    spi.recorder.waitFor("OnRtnOrder", 16);
    EXPECT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
    EXPECT_EQ(qvsim_replay_wait(10'000'000), 1);
    long long delivered = 0;
    long long total = 0;
    qvsim_replay_progress(&delivered, &total);
    EXPECT_EQ(delivered, 41);
    EXPECT_EQ(total, 41);
    std::vector<std::pair<double, int>> trades;
    for (const Event& e : spi.recorder.named("OnRtnTrade")) {
      trades.emplace_back(e.as<CThostFtdcTradeField>().Price, e.as<CThostFtdcTradeField>().Volume);
    }
    return trades;
  }

  std::string path;
};

TEST_F(ReplayTest, TheSameFileGivesTheSameFillsAndEveryFillIsReportedWhenTheWaitEnds) {
  const auto first = tradeTheFile();
  EXPECT_GT(first.size(), 2u);

  // A fresh world: the same scenario, the same orders, the same file.
  spi.recorder.clear();
  ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
  ready();
  EXPECT_EQ(tradeTheFile(), first);
}

TEST_F(ReplayTest, SubscribersGetExactlyTheFilesSnapshotsWhileTheGeneratorIsStopped) {
  RecordingMdSpi mdSpi;
  CThostFtdcMdApi* md = CThostFtdcMdApi::CreateFtdcMdApi("");
  md->RegisterSpi(&mdSpi);
  md->Init();
  mdSpi.recorder.waitFor("OnFrontConnected");
  CThostFtdcReqUserLoginField login{};
  md->ReqUserLogin(&login, 1);
  mdSpi.recorder.waitFor("OnRspUserLogin");
  char rb[] = "rb2605";
  char* ids[] = {rb};
  ASSERT_EQ(qvsim_set_md_rate(1000), 0);
  md->SubscribeMarketData(ids, 1);
  mdSpi.recorder.waitFor("OnRtnDepthMarketData");  // the generator runs until the replay starts

  const std::size_t generated = mdSpi.recorder.named("OnRtnDepthMarketData").size();
  ASSERT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
  ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  usleep(20'000);  // room for stray generated snapshots to show up, were there any
  const auto seen = mdSpi.recorder.named("OnRtnDepthMarketData");
  std::size_t fromFile = 0;
  for (std::size_t i = generated; i < seen.size(); ++i) {
    const auto d = seen[i].as<CThostFtdcDepthMarketDataField>();
    EXPECT_EQ(text(d.TradingDay), "20260108");
    EXPECT_EQ(text(d.UpdateTime).substr(0, 6), "09:00:");
    ++fromFile;
  }
  EXPECT_GE(fromFile, 40u);
  EXPECT_LE(fromFile, 41u) << "only the file's rb2605 snapshots, after at most one generated in flight";
  md->Release();
}

TEST_F(ReplayTest, RefusedFilesAndArguments) {
  EXPECT_EQ(qvsim_replay_file("/nonexistent/ticks.csv", 0.0), QVSIM_ERR_SCENARIO);
  EXPECT_EQ(qvsim_replay_file(nullptr, 0.0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_replay_file(path.c_str(), -1.0), QVSIM_ERR_ARGUMENT);
  const std::string bad = path + ".bad";
  std::ofstream(bad) << "InstrumentID,LastPrice,Volume\nrb2605,abc,1\n";
  EXPECT_EQ(qvsim_replay_file(bad.c_str(), 0.0), QVSIM_ERR_SCENARIO);
  char message[256];
  qvsim_last_error(message, sizeof(message));
  EXPECT_NE(std::string(message).find(":2:"), std::string::npos) << message;
  std::ofstream(bad) << "InstrumentID,Volume\nrb2605,1\n";
  EXPECT_EQ(qvsim_replay_file(bad.c_str(), 0.0), QVSIM_ERR_SCENARIO);
  std::remove(bad.c_str());
  EXPECT_EQ(qvsim_replay_wait(0), 1) << "nothing is running";
}

}  // namespace
}  // namespace qvsim_test

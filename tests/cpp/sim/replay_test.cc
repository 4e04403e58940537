// Replay of tick files: a file replayed twice gives the same fills, the generator stays quiet for
// replayed instruments while subscribers get exactly the file's snapshots, progress and waiting;
// a strategy that reacts to a snapshot sees what it caused before the next one, in the replayed
// market's time, also with an order latency; files the replay refuses; and what real recorders
// write, normalised and counted, or refused by a strict load.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "ThostFtdcMdApi.h"
#include "sim_fixture.h"
#include "subscriber.h"

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

// What a run reports of its trades: time, date, trading day, price and volume.
std::vector<std::string> tradeLines(Recorder& recorder) {
  std::vector<std::string> lines;
  for (const Event& e : recorder.named("OnRtnTrade")) {
    const auto t = e.as<CThostFtdcTradeField>();
    lines.push_back(text(t.TradeDate) + " " + text(t.TradeTime) + " " + text(t.TradingDay) + " " +
                    std::to_string(t.Price) + " x" + std::to_string(t.Volume));
  }
  return lines;
}

// Each snapshot, the strategy notes how many of its trades it has seen and buys one lot at the
// ask, which trades at once.
class ReactingTest : public ReplayTest {
 protected:
  struct Seen {
    std::string time;
    std::size_t trades = 0;
  };

  void SetUp() override {
    ReplayTest::SetUp();
    ASSERT_EQ(qvsim_set_md_rate(0), 0);  // only the file's snapshots
  }

  std::vector<Seen> reactToEverySnapshot() {
    std::vector<Seen> seen;
    int ref = 1000;
    Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) {
      seen.push_back(Seen{text(d.UpdateTime), spi.recorder.named("OnRtnTrade").size()});
      auto buy = order("rb2605", '0', '0', d.AskPrice1, 1, std::to_string(++ref));
      EXPECT_EQ(api->ReqOrderInsert(&buy, ++requestId), 0);
    });
    EXPECT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
    EXPECT_EQ(qvsim_replay_wait(10'000'000), 1);
    return seen;
  }
};

TEST_F(ReactingTest, AnOrderSentFromASnapshotIsFilledBeforeTheNextSnapshotGoesOut) {
  const std::vector<Seen> seen = reactToEverySnapshot();
  ASSERT_EQ(seen.size(), 40u);
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].trades, i) << "snapshot " << i;
  EXPECT_EQ(spi.recorder.named("OnRtnTrade").size(), 40u) << "the last order's fill is in before the wait ends";
}

TEST_F(ReactingTest, OrdersAndTradesCarryTheReplayedMarketsTimeAndTheSameFileGivesTheSameBytes) {
  const std::vector<Seen> seen = reactToEverySnapshot();
  const std::vector<std::string> first = tradeLines(spi.recorder);
  ASSERT_EQ(first.size(), 40u);
  // Each trade happened at the time of the snapshot its order reacted to, on the file's day.
  const auto trades = spi.recorder.named("OnRtnTrade");
  for (std::size_t i = 0; i < trades.size(); ++i) {
    const auto t = trades[i].as<CThostFtdcTradeField>();
    EXPECT_EQ(text(t.TradeTime), seen[i].time);
    EXPECT_EQ(text(t.TradeDate), "20260108");
  }
  for (const Event& e : spi.recorder.named("OnRtnOrder")) {
    const auto o = e.as<CThostFtdcOrderField>();
    if (std::stoi(text(o.OrderRef)) <= 1000) continue;
    EXPECT_EQ(text(o.InsertDate), "20260108");
    EXPECT_EQ(text(o.InsertTime).substr(0, 6), "09:00:");
  }

  spi.recorder.clear();
  ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
  ready();
  reactToEverySnapshot();
  EXPECT_EQ(tradeLines(spi.recorder), first);
}

TEST_F(ReactingTest, AHostThatWaitsInsideASnapshotForItsFillIsNotHung) {
  bool filled = false;
  Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) {
    if (filled) return;
    auto buy = order("rb2605", '0', '0', d.AskPrice1, 1, "901");
    EXPECT_EQ(api->ReqOrderInsert(&buy, ++requestId), 0);
    filled = spi.recorder.waitFor("OnRtnTrade").name == "OnRtnTrade";
  });
  ASSERT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
  ASSERT_EQ(qvsim_replay_wait(20'000'000), 1);
  EXPECT_TRUE(filled) << "the fill went out past the blocked snapshot";
}

TEST_F(ReactingTest, AnOrderLatencyInReplayedTimeDelaysTheMatching) {
  std::string scenario = kScenario;
  scenario.insert(1, R"("orderLatencyMillis": 1500,)");
  ASSERT_EQ(qvsim_load_scenario_json(scenario.c_str()), 0);
  ready();
  // The file's snapshots are half a second apart: an order sent at 09:00:00.000 reaches the
  // matching at 09:00:01.500, just before the fourth snapshot.
  std::vector<std::size_t> tradesSeen;
  Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) {
    tradesSeen.push_back(spi.recorder.named("OnRtnTrade").size());
    if (tradesSeen.size() != 1) return;
    auto buy = order("rb2605", '0', '0', d.AskPrice1 + 10, 1, "900");
    EXPECT_EQ(api->ReqOrderInsert(&buy, ++requestId), 0);
  });
  ASSERT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
  ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  ASSERT_GE(tradesSeen.size(), 5u);
  EXPECT_EQ(tradesSeen[1], 0u);
  EXPECT_EQ(tradesSeen[2], 0u);
  EXPECT_EQ(tradesSeen[3], 1u);
  const auto trade = spi.recorder.waitFor("OnRtnTrade").as<CThostFtdcTradeField>();
  EXPECT_EQ(text(trade.TradeTime), "09:00:01");
}

TEST_F(TraderTest, AFileOpenedBeforeLoginSetsTheTradingDayAndListsItsInstruments) {
  const std::string file = "/tmp/qvsim_open_" + std::to_string(getpid()) + ".csv";
  std::ofstream(file) << "TradingDay,InstrumentID,ExchangeID,UpdateTime,LastPrice\n"
                         "20260302,rb2605,,21:00:00,3500\n20260302,m2605,DCE,21:00:01,3000\n"
                         "20260302,rb2605,SHFE,21:00:02,3501\n";
  ASSERT_EQ(qvsim_replay_open(file.c_str()), 3);
  ASSERT_EQ(authenticate("u1").errorId, 0);
  const Event answer = login("u1", "pw1");
  EXPECT_EQ(text(answer.as<CThostFtdcRspUserLoginField>().TradingDay), "20260302");
  EXPECT_EQ(text(answer.as<CThostFtdcRspUserLoginField>().LoginTime), "21:00:00");
  ASSERT_EQ(qvsim_replay_instrument_count(), 2);
  char id[32];
  char exchange[16];
  long long snapshots = 0;
  EXPECT_EQ(qvsim_replay_instrument_at(0, id, sizeof(id), exchange, sizeof(exchange), &snapshots), 6);
  EXPECT_EQ(std::string(id) + "." + exchange + " " + std::to_string(snapshots), "rb2605.SHFE 2");
  qvsim_replay_instrument_at(1, id, sizeof(id), exchange, sizeof(exchange), &snapshots);
  EXPECT_EQ(std::string(id) + "." + exchange + " " + std::to_string(snapshots), "m2605.DCE 1");
  EXPECT_EQ(qvsim_replay_instrument_at(2, id, sizeof(id), exchange, sizeof(exchange), &snapshots), QVSIM_ERR_ARGUMENT);
  std::remove(file.c_str());
}

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

  ASSERT_EQ(qvsim_replay_file(path.c_str(), 0.0), 41);
  ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  usleep(20'000);  // room for stray generated snapshots to show up, were there any
  // Generated snapshots made before the replay started may still be on their way when it starts
  // (many, on a slow machine), so the file's snapshots are told apart by what they carry: a row
  // of writeTicks, by its volume, time and price.
  const auto fileRow = [](const CThostFtdcDepthMarketDataField& d) {
    const int i = (d.Volume - 100) / 3;
    const bool row = d.Volume >= 100 && (d.Volume - 100) % 3 == 0 && text(d.TradingDay) == "20260108" &&
                     text(d.UpdateTime) == "09:00:" + std::string(i / 2 < 10 ? "0" : "") + std::to_string(i / 2) &&
                     d.UpdateMillisec == (i % 2) * 500 && d.LastPrice == 3500 + (i * 7 % 11) - 5;
    return row ? i : -1;
  };
  int fileRows = 0;
  int generatedAfterStart = 0;
  for (const auto& record : mdSpi.recorder.named("OnRtnDepthMarketData")) {
    const int row = fileRow(record.as<CThostFtdcDepthMarketDataField>());
    if (row >= 0) {
      EXPECT_EQ(row, fileRows) << "the file's snapshots, each once, in the file's order";
      ++fileRows;
    } else if (fileRows > 0) {
      ++generatedAfterStart;
    }
  }
  EXPECT_EQ(fileRows, 40) << "every rb2605 row of the file";
  EXPECT_LE(generatedAfterStart, 1) << "no generated snapshot once the replay runs, but one in flight";
  md->Release();
}

TEST_F(ReplayTest, RefusedArguments) {
  EXPECT_EQ(qvsim_replay_file("/nonexistent/ticks.csv", 0.0), QVSIM_ERR_SCENARIO);
  EXPECT_EQ(qvsim_replay_file(nullptr, 0.0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_replay_file(path.c_str(), -1.0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_replay_play(0.0), QVSIM_ERR_ARGUMENT) << "no file is open";
  EXPECT_EQ(qvsim_replay_file("/dev/zero", 0.0), QVSIM_ERR_SCENARIO) << "a line without end";
  EXPECT_EQ(qvsim_replay_wait(0), 1) << "nothing is running";
  EXPECT_EQ(qvsim_set_replay_strict(2), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_replay_normalised(qvsim_replay_normalisation_kinds(), nullptr, 0, nullptr), QVSIM_ERR_ARGUMENT);
}

// A number or text reads the same however a recorder wrote it: quoted, padded, signed, with an
// exponent, more digits than a double holds, or none after the point.
TEST_F(ReplayTest, EveryNotationOfACellLoadsTheSameSnapshot) {
  ASSERT_EQ(qvsim_set_md_rate(0), 0);
  const std::string header =
      "TradingDay,InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,Volume,Turnover,BidPrice1,BidVolume1,"
      "AskPrice1,AskVolume1,AveragePrice,PreDelta\n";
  const std::vector<std::string> rows = {
      "20260108,rb2605,SHFE,09:00:01,500,3501.5,120,4201800.25,3501,7,3502,9,3501.25,-0.125\n",
      "\"20260108\",\"rb2605\",SHFE,\"09:00:01\",\" 500\",+3501.50, 120 ,4.20180025e6,3501.,+7,\"3502\",0009,"
      "3501.2500000000000000,-.125\n",
  };
  std::vector<CThostFtdcDepthMarketDataField> seen;
  Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) { seen.push_back(d); });
  const std::string file = path + ".notation";
  for (const std::string& row : rows) {
    std::ofstream(file, std::ios::trunc) << header << row;
    ASSERT_EQ(qvsim_replay_file(file.c_str(), 0.0), 1) << row;
    ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  }
  std::remove(file.c_str());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].LastPrice, 3501.5);
  EXPECT_EQ(seen[0].Turnover, 4201800.25);
  EXPECT_EQ(seen[0].PreDelta, -0.125);
  EXPECT_EQ(seen[0].UpdateMillisec, 500);
  EXPECT_EQ(std::memcmp(&seen[0], &seen[1], sizeof(seen[0])), 0) << "the same snapshot, byte for byte";
}

// Each bad file fails before anything plays, naming the file, the line and the field, whether
// the load is strict or not; a time going back fails only a strict load (the snapshot is skipped
// otherwise).
TEST_F(ReplayTest, BadTickFilesNameTheLineAndTheField) {
  ASSERT_EQ(qvsim_load_scenario_json(anyHourScenario().c_str()), 0);
  ready();
  const std::string header = "TradingDay,InstrumentID,ExchangeID,UpdateTime,LastPrice\n";
  const std::string good = "20260108,rb2605,SHFE,09:00:00,3500\n";
  const struct {
    std::string body;
    std::string expected;
    bool strictOnly = false;
  } cases[] = {
      {good + "20260108,rb2605,DCE,09:00:01,3500\n", ":3: field ExchangeID: 'DCE', but rb2605 trades on SHFE"},
      {good + "20260108,zz2605,SHFE,09:00:01,3500\n", ":3: field InstrumentID: 'zz2605' is not an instrument"},
      {good + "20260108,rb2605,SHFE,09:00:01\n", ":3: field LastPrice: missing (4 cells, the header has 5)"},
      {good + "20260108,rb2605,SHFE,09:00:01,3500,7\n", ":3: 6 cells, the header has 5"},
      {good + "20260108,rb2605,SHFE,08:59:59,3500\n", ":3: field UpdateTime: 08:59:59 is before the previous rb2605",
       true},
      {good + "20260108,rb2605,SHFE,09:00:01,35x0\n", ":3: field LastPrice: bad value '35x0'"},
      {good + "20260108,rb2605,SHFE,9h,3500\n", ":3: field UpdateTime: bad time"},
      {good + ",,SHFE,09:00:01,3500\n", ":3: field InstrumentID: blank"},
      {good + std::string("20260108,\0rb2605,SHFE,09:00:01,3500\n", 36), ":3: field InstrumentID: bad value"},
      {good + "20260108," + std::string(90, 'r') + ",SHFE,09:00:01,3500\n", ":3: field InstrumentID: bad value"},
      {good + "202601080,rb2605,SHFE,09:00:01,3500\n", ":3: field TradingDay: bad value '202601080'"},
      {good + std::string(70000, '1') + "\n", ":3: line longer than 65536 bytes"},
  };
  const std::string bad = path + ".bad";
  for (const int strict : {0, 1}) {
    ASSERT_EQ(qvsim_set_replay_strict(strict), 0);
    for (const auto& c : cases) {
      std::ofstream(bad, std::ios::trunc) << header << c.body;
      if (c.strictOnly && strict == 0) {
        EXPECT_EQ(qvsim_replay_open(bad.c_str()), 1) << c.expected;
        continue;
      }
      EXPECT_EQ(qvsim_replay_file(bad.c_str(), 0.0), QVSIM_ERR_SCENARIO) << c.expected;
      char message[512];
      qvsim_last_error(message, sizeof(message));
      EXPECT_NE(std::string(message).find(bad + c.expected), std::string::npos) << message;
    }
  }
  ASSERT_EQ(qvsim_set_replay_strict(0), 0);
  // What a recorder leaves blank or lets run past midnight is fine.
  std::ofstream(bad, std::ios::trunc) << header << "20260108,rb2605,,23:59:59,3500\n20260108,rb2605,,00:00:00,3501\n";
  EXPECT_EQ(qvsim_replay_file(bad.c_str(), 0.0), 2);
  EXPECT_EQ(qvsim_replay_wait(10'000'000), 1);
  std::ofstream(bad, std::ios::trunc) << "InstrumentID,Volume\nrb2605,1\n";
  EXPECT_EQ(qvsim_replay_file(bad.c_str(), 0.0), QVSIM_ERR_SCENARIO);
  std::remove(bad.c_str());
}

// What recorders write for CTP's "no value" and the snapshot a front pushes again, as a careful
// recorder would read them: every kind of price cell without a value, a volume left empty, a night
// that runs past midnight (not stale) and two snapshots pushed again with an older time.
class RecordedFileTest : public ReplayTest {
 protected:
  static constexpr double kNoValue = std::numeric_limits<double>::max();

  void SetUp() override {
    ReplayTest::SetUp();
    ASSERT_EQ(qvsim_load_scenario_json(anyHourScenario().c_str()), 0);
    ready();
    ASSERT_EQ(qvsim_set_md_rate(0), 0);
    recorded = path + ".recorded";
    std::ofstream(recorded) << kHeader << kClean
                            << "20260108,rb2605,SHFE,23:59:59,500,3501,N/A,,nan,3502,1e300,3499\n"
                               "20260108,rb2605,SHFE,23:59:58,0,3500,3500,5,3499,3501,N/A,3499\n"  // pushed again
                               "20260108,m2605,DCE,00:00:01,0,3000,NaN,10,2999,INF,1.7976931348623157e+308,2999\n"
                               "20260108,rb2605,SHFE,00:00:01,0,3502,3500,12,3501,3503,\"n/a\",3500.5\n"
                               "20260108,rb2605,SHFE,23:59:59,0,3501,3500,12,3501,3503,3500,3500.5\n";  // again
  }
  void TearDown() override {
    std::remove(recorded.c_str());
    ReplayTest::TearDown();
  }

  std::map<std::string, long long> normalised() {
    std::map<std::string, long long> counts;
    for (int kind = 0; kind < qvsim_replay_normalisation_kinds(); ++kind) {
      char name[64];
      long long count = -1;
      EXPECT_GT(qvsim_replay_normalised(kind, name, sizeof(name), &count), 0);
      counts[name] = count;
    }
    return counts;
  }

  static constexpr const char* kHeader =
      "TradingDay,InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,SettlementPrice,Volume,BidPrice1,"
      "AskPrice1,ClosePrice,AveragePrice\n";
  static constexpr const char* kClean = "20260108,rb2605,SHFE,23:59:59,0,3500,3500,4,3499,3501,3500,3499.5\n";
  std::string recorded;
};

TEST_F(RecordedFileTest, PricesWithoutAValueReadAsCtpsNoValueAndStaleSnapshotsAreSkippedAndCounted) {
  std::vector<CThostFtdcDepthMarketDataField> seen;
  Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) { seen.push_back(d); });
  ASSERT_EQ(qvsim_replay_file(recorded.c_str(), 0.0), 4);
  ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  const std::map<std::string, long long> expected = {{"no_value_prices", 6}, {"stale_snapshots", 2}, {"days_corrected", 0}, {"outside_sessions", 0}};
  EXPECT_EQ(normalised(), expected) << "prices of a skipped snapshot are not counted";
  ASSERT_EQ(seen.size(), 3u) << "the snapshots pushed again are not delivered";
  EXPECT_EQ(seen[1].SettlementPrice, kNoValue);
  EXPECT_EQ(seen[1].Volume, 0) << "an empty volume is none traded";
  EXPECT_EQ(seen[1].BidPrice1, kNoValue);
  EXPECT_EQ(seen[1].ClosePrice, kNoValue);
  EXPECT_EQ(seen[1].AskPrice1, 3502.0);
  EXPECT_EQ(seen[2].UpdateTime, std::string("00:00:01")) << "past midnight is later, not stale";
  EXPECT_EQ(seen[2].ClosePrice, kNoValue);
  std::set<std::string> instruments;
  for (int i = 0; i < qvsim_replay_instrument_count(); ++i) {
    char id[32];
    long long snapshots = 0;
    qvsim_replay_instrument_at(i, id, sizeof(id), nullptr, 0, &snapshots);
    instruments.insert(std::string(id) + " " + std::to_string(snapshots));
  }
  EXPECT_EQ(instruments, (std::set<std::string>{"rb2605 3", "m2605 1"}));

  std::ofstream(recorded, std::ios::trunc) << kHeader << kClean;
  ASSERT_EQ(qvsim_replay_open(recorded.c_str()), 1);
  EXPECT_EQ(normalised(), (std::map<std::string, long long>{
                              {"no_value_prices", 0}, {"stale_snapshots", 0}, {"days_corrected", 0}, {"outside_sessions", 0}}))
      << "the counts are the open file's";
}

TEST_F(RecordedFileTest, AStrictLoadRefusesTheFirstQuirkNamingItsLineAndField) {
  ASSERT_EQ(qvsim_set_replay_strict(1), 0);
  EXPECT_EQ(qvsim_replay_open(recorded.c_str()), QVSIM_ERR_SCENARIO);
  char message[512];
  qvsim_last_error(message, sizeof(message));
  EXPECT_EQ(std::string(message), recorded + ":3: field SettlementPrice: 'N/A' is not a price (a strict load refuses "
                                             "what it would read as no value)");
  // CTP's own "no value" and the other notations of a number are no quirks.
  std::ofstream(recorded, std::ios::trunc)
      << kHeader << kClean << "20260108,rb2605,SHFE,23:59:59,500,+3501,1.7976931348623157e+308,\" 5\",3.5e3,3501.,"
                              "1.7976931348623157e308,3500\n";
  EXPECT_EQ(qvsim_replay_open(recorded.c_str()), 2);
  ASSERT_EQ(qvsim_reset(), 0);
  ASSERT_EQ(qvsim_load_scenario_json(anyHourScenario().c_str()), 0);
  std::ofstream(recorded, std::ios::trunc) << kHeader << kClean << "20260108,rb2605,SHFE,23:59:58,0,3500,,5,3499,3501,,\n";
  EXPECT_EQ(qvsim_replay_open(recorded.c_str()), 1) << "reset ends strict loading";
}

}  // namespace
}  // namespace qvsim_test

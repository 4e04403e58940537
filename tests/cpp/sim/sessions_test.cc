// The exchange's trading sessions in a replay: a Monday whose night runs on Friday evening, with
// an opening auction, a night that ends at 23:00 and the morning break. Orders in the auction's
// collection rest and fill at the auction's price when it ends; orders after the night's end and
// in the break are refused as the exchange refuses them; every change of phase reaches the
// trader as an instrument status, in order.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <map>

#include "ThostFtdcMdApi.h"
#include "sim_fixture.h"
#include "subscriber.h"

namespace qvsim_test {
namespace {

const std::string kNotTradingTimeGb2312 = "\xb5\xb1\xc7\xb0\xb2\xbb\xd4\xda\xbd\xbb\xd2\xd7\xca\xb1\xbc\xe4";  // 当前不在交易时间

struct Row {
  const char* actionDay;
  const char* time;
  double last;
  int volume;
};

// Trading day Monday 2026-01-12: its night on Friday 2026-01-09 from the auction on, then the day.
constexpr Row kRows[] = {
    {"20260109", "20:56:00", 0, 0},        // the auction collects orders
    {"20260109", "20:59:00", 3500, 40},    // the auction's result
    {"20260109", "21:00:00", 3501, 52},
    {"20260109", "22:59:59", 3502, 60},
    {"20260109", "23:00:00", 3502, 61},    // the night's close
    {"20260112", "09:00:00", 3503, 70},
    {"20260112", "10:14:59", 3503, 80},
    {"20260112", "10:15:00", 3504, 81},    // the break begins
    {"20260112", "10:30:00", 3504, 90},
};

std::string writeDay() {
  const std::string path = "/tmp/qvsim_sessions_" + std::to_string(getpid()) + ".csv";
  std::ofstream out(path);
  out << "TradingDay,ActionDay,InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,Volume,BidPrice1,"
         "BidVolume1,AskPrice1,AskVolume1,UpperLimitPrice,LowerLimitPrice,PreSettlementPrice\n";
  for (const Row& r : kRows) {
    out << "20260112," << r.actionDay << ",rb2605,SHFE," << r.time << ",0,";
    if (r.last > 0) {
      out << r.last << "," << r.volume << "," << r.last - 1 << ",5," << r.last + 1 << ",5";
    } else {
      out << ",0,,0,,0";
    }
    out << ",3745,3255,3500\n";
  }
  return path;
}

class SessionsTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    ready();
    ASSERT_EQ(qvsim_set_md_rate(0), 0);
    path = writeDay();
  }
  void TearDown() override {
    qvsim_replay_stop();
    std::remove(path.c_str());
    TraderTest::TearDown();
  }

  // Replays the day; at the snapshot stamped `time` (if any) the strategy sends `orders[time]`.
  void replay(const std::map<std::string, CThostFtdcInputOrderField>& orders) {
    Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) {
      auto it = orders.find(text(d.UpdateTime));
      if (it == orders.end()) return;
      auto o = it->second;
      EXPECT_EQ(api->ReqOrderInsert(&o, ++requestId), 0);
    });
    EXPECT_EQ(qvsim_replay_file(path.c_str(), 0.0), static_cast<int>(std::size(kRows)));
    EXPECT_EQ(qvsim_replay_wait(10'000'000), 1);
  }

  // The last report of the order with reference `ref`.
  CThostFtdcOrderField lastReport(const std::string& ref) {
    CThostFtdcOrderField last{};
    for (const Event& e : spi.recorder.named("OnRtnOrder")) {
      const auto o = e.as<CThostFtdcOrderField>();
      if (text(o.OrderRef) == ref) last = o;
    }
    return last;
  }

  std::string path;
};

TEST_F(SessionsTest, OrdersAfterTheNightsEndAndInTheBreakAreRefusedByTheExchange) {
  replay({{"23:00:00", order("rb2605", '0', '0', 3502, 1, "11")},
          {"10:15:00", order("rb2605", '0', '0', 3504, 1, "12")},
          {"10:30:00", order("rb2605", '0', '0', 3505, 1, "13")}});
  for (const char* ref : {"11", "12"}) {
    const auto o = lastReport(ref);
    EXPECT_EQ(o.OrderStatus, THOST_FTDC_OST_Canceled) << ref;
    EXPECT_EQ(o.OrderSubmitStatus, THOST_FTDC_OSS_InsertRejected) << ref;
    EXPECT_NE(text(o.StatusMsg).find(kNotTradingTimeGb2312), std::string::npos) << ref;
  }
  EXPECT_EQ(lastReport("13").OrderStatus, THOST_FTDC_OST_AllTraded) << "trading resumes after the break";
  for (const Event& e : spi.recorder.named("OnRspOrderInsert")) EXPECT_EQ(e.errorId, 0) << "the broker accepts them";
}

TEST_F(SessionsTest, AnOrderOfTheAuctionFillsAtTheAuctionsPriceWhenItEnds) {
  replay({{"20:56:00", order("rb2605", '0', '0', 3510, 2, "21")}});
  const auto trades = spi.recorder.named("OnRtnTrade");
  ASSERT_EQ(trades.size(), 1u);
  const auto t = trades[0].as<CThostFtdcTradeField>();
  EXPECT_EQ(t.Price, 3500.0) << "the auction's price, not the order's";
  EXPECT_EQ(t.Volume, 2);
  EXPECT_EQ(text(t.TradeTime), "20:59:00");
  EXPECT_EQ(text(t.TradeDate), "20260109") << "Friday evening";
}

TEST_F(SessionsTest, AnImmediateOrderInTheAuctionIsRefused) {
  auto fak = order("rb2605", '0', '0', 3510, 1, "31");
  fak.TimeCondition = THOST_FTDC_TC_IOC;
  replay({{"20:56:00", fak}});
  EXPECT_EQ(lastReport("31").OrderSubmitStatus, THOST_FTDC_OSS_InsertRejected);
  EXPECT_TRUE(spi.recorder.named("OnRtnTrade").empty());
}

TEST_F(SessionsTest, EveryChangeOfPhaseIsAnInstrumentStatusInOrder) {
  replay({});
  std::vector<std::string> seen;
  for (const Event& e : spi.recorder.named("OnRtnInstrumentStatus")) {
    const auto s = e.as<CThostFtdcInstrumentStatusField>();
    if (text(s.InstrumentID) != "rb") continue;
    EXPECT_EQ(text(s.ExchangeID), "SHFE");
    seen.push_back(std::string(1, s.InstrumentStatus) + " " + text(s.EnterTime));
  }
  const std::vector<std::string> expected = {"3 20:55:00", "5 20:59:00", "2 21:00:00", "1 23:00:00",
                                             "2 09:00:00", "1 10:15:00", "2 10:30:00"};
  EXPECT_EQ(seen, expected);
}

// The scenario's own calendar and hours: with Monday a holiday nothing in its file trades; with
// the exchange trading at any hour the break takes orders.
TEST_F(SessionsTest, AScenarioSetsTheCalendarAndTheHours) {
  auto withKeys = scenarioWith;
  ASSERT_EQ(qvsim_load_scenario_json(withKeys(R"("holidays": ["20260112"])").c_str()), 0);
  ready();
  EXPECT_EQ(qvsim_replay_file(path.c_str(), 0.0), 0) << "a holiday's file holds no trading";

  spi.recorder.clear();
  ASSERT_EQ(qvsim_load_scenario_json(withKeys(R"("sessions": "always")").c_str()), 0);
  ready();
  replay({{"10:15:00", order("rb2605", '0', '0', 3505, 1, "43")}});
  EXPECT_EQ(lastReport("43").OrderStatus, THOST_FTDC_OST_AllTraded);
  EXPECT_TRUE(spi.recorder.named("OnRtnInstrumentStatus").empty());

  ASSERT_NE(qvsim_load_scenario_json(withKeys(R"("tradingHours": [{"exchange": "SHFE", "products": "rb",
                                                  "sessions": "09:00-08:00"}])")
                                         .c_str()),
            0)
      << "hours that close before they open are refused";
}

// Recorded files as fronts write them: a CZCE night snapshot carries the calendar day as its
// trading day, a DCE one the trading day as its action day, and snapshots outside the sessions
// (the overnight gap, the break, after the close) are no trading.
TEST_F(SessionsTest, RecordedDaysAreCorrectedAndSnapshotsOutsideTheSessionsLeftOut) {
  const std::string recorded = path + ".recorded";
  std::ofstream(recorded) << "TradingDay,ActionDay,InstrumentID,ExchangeID,UpdateTime,LastPrice,Volume\n"
                             "20260109,20260109,SR605,CZCE,21:00:01,6000,1\n"
                             "20260112,20260112,m2605,DCE,21:00:02,3000,1\n"
                             "20260112,20260112,rb2605,SHFE,08:50:00,3500,1\n"
                             "20260112,20260112,rb2605,SHFE,09:00:00,3500,2\n"
                             "20260112,20260112,rb2605,SHFE,10:20:00,3500,3\n"
                             "20260112,20260112,rb2605,SHFE,15:00:00,3501,4\n"
                             "20260112,20260112,rb2605,SHFE,15:00:30,3501,4\n";
  std::vector<CThostFtdcDepthMarketDataField> seen;
  {
    Subscriber subscriber([&](const CThostFtdcDepthMarketDataField& d) { seen.push_back(d); },
                          {"SR605", "m2605", "rb2605"});
    ASSERT_EQ(qvsim_replay_file(recorded.c_str(), 0.0), 4);
    ASSERT_EQ(qvsim_replay_wait(10'000'000), 1);
  }
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(text(seen[0].TradingDay), "20260112") << "CZCE: the night's trading day";
  EXPECT_EQ(text(seen[0].ActionDay), "20260109");
  EXPECT_EQ(text(seen[1].ActionDay), "20260109") << "DCE: the evening the night ran on";
  EXPECT_EQ(text(seen[2].UpdateTime), "09:00:00");
  EXPECT_EQ(text(seen[3].UpdateTime), "15:00:00") << "the close's own snapshot is kept";
  std::map<std::string, long long> counts;
  for (int kind = 0; kind < qvsim_replay_normalisation_kinds(); ++kind) {
    char name[64];
    long long count = -1;
    qvsim_replay_normalised(kind, name, sizeof(name), &count);
    counts[name] = count;
  }
  EXPECT_EQ(counts["days_corrected"], 2);
  EXPECT_EQ(counts["outside_sessions"], 3);

  ASSERT_EQ(qvsim_set_replay_strict(1), 0);
  EXPECT_EQ(qvsim_replay_open(recorded.c_str()), QVSIM_ERR_SCENARIO);
  char message[512];
  qvsim_last_error(message, sizeof(message));
  EXPECT_EQ(std::string(message), recorded + ":2: field TradingDay: '20260109' at 21:00:01 is not its trading day, 20260112");
  ASSERT_EQ(qvsim_set_replay_strict(0), 0);
  std::remove(recorded.c_str());
}

}  // namespace
}  // namespace qvsim_test

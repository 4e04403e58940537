// The trading day kept under the flow path: a broker that starts again (a scenario load stands for
// a new process) restores an investor's orders, trades, positions and funds at its next login on
// the same day, and settles them at a login on a later day; without persistence nothing is kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>

#include "sim_fixture.h"

namespace qvsim_test {
namespace {

class PersistenceTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    flow = std::filesystem::temp_directory_path() /
           ("qvsim_flow_" + std::to_string(getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(flow);
    std::filesystem::create_directories(flow);
    ASSERT_EQ(qvsim_set_persistence(1), 0);
  }
  void TearDown() override {
    TraderTest::TearDown();
    api = nullptr;
    qvsim_set_persistence(0);
    std::filesystem::remove_all(flow);
  }

  // A new trader object on the flow path, logged in as u1 and confirmed.
  void reconnect() {
    api->Release();
    spi.recorder.clear();
    api = CThostFtdcTraderApi::CreateFtdcTraderApi((flow.string() + "/").c_str());
    api->RegisterSpi(&spi);
    api->Init();
    spi.recorder.waitFor("OnFrontConnected");
    ready();
  }

  // The trades of an order once its fill was reported.
  void trade(char direction, char offset, double price, int volume) {
    CThostFtdcDepthMarketDataField d{};
    put(d.InstrumentID, "rb2605");
    d.LastPrice = price;
    d.BidPrice1 = d.AskPrice1 = price;
    d.BidVolume1 = d.AskVolume1 = 100;
    ASSERT_GE(qvsim_push_depth(&d, sizeof(d)), 0);
    const std::size_t before = spi.recorder.named("OnRtnTrade").size();
    auto o = order("rb2605", direction, offset, price, volume);
    ASSERT_EQ(api->ReqOrderInsert(&o, ++requestId), 0);
    spi.recorder.waitFor("OnRtnTrade", static_cast<int>(before) + 1);
  }

  template <class Rec, class Query, class Send>
  std::vector<Rec> query(const std::string& answer, Send send) {
    Query q{};
    const int id = ++requestId;
    EXPECT_EQ((api->*send)(&q, id), 0);
    std::vector<Rec> out;
    for (const Event& e : answers(answer, id)) {
      if (!e.record.empty()) out.push_back(e.as<Rec>());
    }
    return out;
  }
  CThostFtdcTradingAccountField account() {
    return query<CThostFtdcTradingAccountField, CThostFtdcQryTradingAccountField>(
               "OnRspQryTradingAccount", &CThostFtdcTraderApi::ReqQryTradingAccount)
        .at(0);
  }
  std::vector<CThostFtdcOrderField> orders() {
    return query<CThostFtdcOrderField, CThostFtdcQryOrderField>("OnRspQryOrder", &CThostFtdcTraderApi::ReqQryOrder);
  }
  std::vector<CThostFtdcTradeField> trades() {
    return query<CThostFtdcTradeField, CThostFtdcQryTradeField>("OnRspQryTrade", &CThostFtdcTraderApi::ReqQryTrade);
  }
  std::vector<CThostFtdcInvestorPositionField> positions() {
    return query<CThostFtdcInvestorPositionField, CThostFtdcQryInvestorPositionField>(
        "OnRspQryInvestorPosition", &CThostFtdcTraderApi::ReqQryInvestorPosition);
  }

  std::filesystem::path flow;
};

TEST_F(PersistenceTest, ALaterLoginOnTheSameDayFindsOrdersTradesPositionsAndFunds) {
  reconnect();
  trade('0', '0', 3510, 2);
  trade('1', THOST_FTDC_OF_CloseToday, 3520, 1);
  auto working = order("rb2605", '0', '0', 3400, 3);
  ASSERT_EQ(api->ReqOrderInsert(&working, ++requestId), 0);
  spi.recorder.waitFor("OnRtnOrder", 8);
  const auto accountBefore = account();
  const auto ordersBefore = orders();
  const auto tradesBefore = trades();
  const auto positionsBefore = positions();
  const std::string maxRef = text(ordersBefore.back().OrderRef);

  // The broker starts again from its scenario: the database brings the day back.
  ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
  reconnect();
  const auto login = spi.recorder.waitFor("OnRspUserLogin").as<CThostFtdcRspUserLoginField>();
  EXPECT_EQ(text(login.MaxOrderRef), maxRef);
  const auto restored = account();
  EXPECT_DOUBLE_EQ(restored.Available, accountBefore.Available);
  EXPECT_DOUBLE_EQ(restored.CloseProfit, accountBefore.CloseProfit);
  EXPECT_DOUBLE_EQ(restored.FrozenMargin, accountBefore.FrozenMargin);
  EXPECT_DOUBLE_EQ(restored.CurrMargin, accountBefore.CurrMargin);
  EXPECT_EQ(orders().size(), ordersBefore.size());
  EXPECT_EQ(trades().size(), tradesBefore.size());
  const auto now = positions();
  ASSERT_EQ(now.size(), positionsBefore.size());
  for (std::size_t i = 0; i < now.size(); ++i) {
    EXPECT_EQ(now[i].Position, positionsBefore[i].Position);
    EXPECT_EQ(now[i].TodayPosition, positionsBefore[i].TodayPosition);
    EXPECT_EQ(now[i].LongFrozen + now[i].ShortFrozen, positionsBefore[i].LongFrozen + positionsBefore[i].ShortFrozen);
  }
  // The restored working order still trades, and new trade ids follow the restored ones.
  trade('1', '0', 3400, 3);
  const auto all = trades();
  std::set<std::string> ids;
  for (const auto& t : all) ids.insert(text(t.TradeID));
  EXPECT_EQ(ids.size(), all.size()) << "trade ids stay unique across the restart";
}

TEST_F(PersistenceTest, ALoginOnALaterDaySettlesTheStoredDay) {
  reconnect();
  trade('0', '0', 3510, 2);  // the scenario's 3 + 2 long lots of rb2605 grow to 3 + 4
  const auto dayOne = account();
  // The day's last price 3530: the 8 lots' profit against their costs goes into the funds.
  trade('0', '0', 3530, 1);
  const auto closing = account();

  std::string nextDay = kScenario;
  nextDay.replace(nextDay.find("20260108"), 8, "20260109");
  ASSERT_EQ(qvsim_load_scenario_json(nextDay.c_str()), 0);
  reconnect();
  const auto settled = account();
  EXPECT_NEAR(settled.PreBalance, closing.Balance, 1e-6);
  EXPECT_DOUBLE_EQ(settled.CloseProfit, 0.0);
  EXPECT_DOUBLE_EQ(settled.Commission, 0.0);
  EXPECT_NE(dayOne.Balance, closing.Balance);
  EXPECT_TRUE(orders().empty());
  EXPECT_TRUE(trades().empty());
  for (const auto& p : positions()) {
    if (text(p.InstrumentID) != "rb2605") continue;
    EXPECT_EQ(p.PositionDate, THOST_FTDC_PSD_History) << "SHFE: every lot is yesterday's now";
    EXPECT_EQ(p.Position, 8);
    EXPECT_EQ(p.TodayPosition, 0);
    EXPECT_EQ(p.YdPosition, 8);
  }
}

TEST_F(PersistenceTest, NothingIsKeptWhenSwitchedOff) {
  ASSERT_EQ(qvsim_set_persistence(0), 0);
  reconnect();
  trade('0', '0', 3510, 2);
  ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
  reconnect();
  EXPECT_EQ(trades().size(), 1u) << "only the scenario's own trade";
  EXPECT_TRUE(std::filesystem::is_empty(flow));
  EXPECT_EQ(qvsim_set_persistence(2), QVSIM_ERR_ARGUMENT);
}

}  // namespace
}  // namespace qvsim_test

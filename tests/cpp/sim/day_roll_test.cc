// The end of a trading day on the simulated exchange: working orders expire with a report, every
// lot is settled at the day's settlement price (the last price when the market gave none) and
// carried as yesterday's, the funds roll into the pre-balance, the settlement must be confirmed
// again, and the trader front drops so that the connected object logs in to the new day.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace qvsim_test {
namespace {

class DayRollTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    ready();
  }

  void market(double last, double settlement = 0.0) {
    CThostFtdcDepthMarketDataField d{};
    put(d.InstrumentID, "rb2605");
    d.LastPrice = last;
    d.BidPrice1 = d.AskPrice1 = last;
    d.BidVolume1 = d.AskVolume1 = 100;
    d.SettlementPrice = settlement > 0.0 ? settlement : 1.7976931348623157e308;
    ASSERT_GE(qvsim_push_depth(&d, sizeof(d)), 0);
  }

  // Rolls to `day` and waits for the reconnection, then logs in again (without confirming).
  void roll(const char* day) {
    spi.recorder.clear();
    ASSERT_EQ(qvsim_roll_day(day, 1000), 0);
    spi.recorder.waitFor("OnFrontDisconnected");
    spi.recorder.waitFor("OnFrontConnected");
    ASSERT_EQ(authenticate("u1").errorId, 0);
    const Event logged = login("u1", "pw1");
    ASSERT_EQ(logged.errorId, 0);
    EXPECT_EQ(text(logged.as<CThostFtdcRspUserLoginField>().TradingDay), day);
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
  std::vector<CThostFtdcInvestorPositionField> positions(const std::string& instrument) {
    std::vector<CThostFtdcInvestorPositionField> out;
    for (const auto& p : query<CThostFtdcInvestorPositionField, CThostFtdcQryInvestorPositionField>(
             "OnRspQryInvestorPosition", &CThostFtdcTraderApi::ReqQryInvestorPosition)) {
      if (text(p.InstrumentID) == instrument) out.push_back(p);
    }
    return out;
  }
};

TEST_F(DayRollTest, LotsAreSettledAtTheSettlementPriceAndCarriedAsYesterdays) {
  // The scenario's rb2605: 3 yesterday's + 2 today's long lots. The last price is 3520, the
  // exchange's settlement 3515: the day closes at the settlement price.
  market(3520, 3515);
  const auto closing = account();
  roll("20260109");
  ASSERT_EQ(confirm("u1").errorId, 0);
  const auto settled = account();
  EXPECT_NEAR(settled.PreBalance, closing.Balance - 5 * 5 * 10, 1e-6) << "marked at 3515, not 3520";
  EXPECT_DOUBLE_EQ(settled.CloseProfit, 0.0);
  EXPECT_DOUBLE_EQ(settled.Commission, 0.0);
  const auto rb = positions("rb2605");
  ASSERT_EQ(rb.size(), 1u);
  EXPECT_EQ(rb[0].Position, 5);
  EXPECT_EQ(rb[0].YdPosition, 5);
  EXPECT_EQ(rb[0].TodayPosition, 0);

  // SHFE: the carried lots close with close-yesterday; close-today finds none.
  market(3530);
  auto today = order("rb2605", THOST_FTDC_D_Sell, THOST_FTDC_OF_CloseToday, 3530, 1);
  ASSERT_EQ(api->ReqOrderInsert(&today, ++requestId), 0);
  EXPECT_NE(waitAnswer("OnRspOrderInsert", requestId).errorId, 0);
  auto yesterday = order("rb2605", THOST_FTDC_D_Sell, THOST_FTDC_OF_CloseYesterday, 3530, 2);
  ASSERT_EQ(api->ReqOrderInsert(&yesterday, ++requestId), 0);
  spi.recorder.waitFor("OnRtnTrade");
  // Profit of the closed lots counts from the settlement price.
  EXPECT_NEAR(account().CloseProfit, (3530 - 3515) * 2 * 10, 1e-6);
}

TEST_F(DayRollTest, WithoutASettlementPriceTheLastPriceSettles) {
  market(3490);
  const auto closing = account();
  roll("20260109");
  EXPECT_NEAR(account().PreBalance, closing.Balance, 1e-6);
}

TEST_F(DayRollTest, WorkingOrdersExpireAndTheDayStartsEmpty) {
  // The scenario's working m2605 order, and a new one.
  market(3500);
  auto resting = order("rb2605", THOST_FTDC_D_Buy, THOST_FTDC_OF_Open, 3400, 1);
  ASSERT_EQ(api->ReqOrderInsert(&resting, ++requestId), 0);
  spi.recorder.waitFor("OnRtnOrder", 2);
  EXPECT_GT(account().FrozenMargin, 0.0);
  spi.recorder.clear();
  ASSERT_EQ(qvsim_roll_day("20260109", 1000), 0);
  spi.recorder.waitFor("OnFrontDisconnected");
  int canceled = 0;
  for (const Event& e : spi.recorder.named("OnRtnOrder")) {
    canceled += e.as<CThostFtdcOrderField>().OrderStatus == THOST_FTDC_OST_Canceled ? 1 : 0;
  }
  EXPECT_EQ(canceled, 2) << "each working order's expiry reaches its investor before the front drops";
  spi.recorder.waitFor("OnFrontConnected");
  ASSERT_EQ(authenticate("u1").errorId, 0);
  ASSERT_EQ(login("u1", "pw1").errorId, 0);
  // No confirmation yet: the new day's orders are refused until the settlement is confirmed.
  market(3500);
  auto early = order("rb2605", THOST_FTDC_D_Buy, THOST_FTDC_OF_Open, 3500, 1);
  ASSERT_EQ(api->ReqOrderInsert(&early, ++requestId), 0);
  EXPECT_EQ(waitAnswer("OnRspOrderInsert", requestId).errorId, 42);
  ASSERT_EQ(confirm("u1").errorId, 0);
  EXPECT_TRUE((query<CThostFtdcOrderField, CThostFtdcQryOrderField>("OnRspQryOrder",
                                                                   &CThostFtdcTraderApi::ReqQryOrder)
                   .empty()));
  EXPECT_TRUE((query<CThostFtdcTradeField, CThostFtdcQryTradeField>("OnRspQryTrade",
                                                                   &CThostFtdcTraderApi::ReqQryTrade)
                   .empty()));
  EXPECT_DOUBLE_EQ(account().FrozenMargin, 0.0) << "the expired orders' margin is free again";
}

TEST_F(DayRollTest, ADayThatDoesNotFollowIsRefused) {
  EXPECT_EQ(qvsim_roll_day("20260108", 0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_roll_day("20260107", 0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_roll_day("2026019", 0), QVSIM_ERR_ARGUMENT);
  EXPECT_EQ(qvsim_roll_day(nullptr, 0), QVSIM_ERR_ARGUMENT);
  char day[16];
  qvsim_trading_day(day, sizeof day);
  EXPECT_STREQ(day, "20260108");
}

}  // namespace
}  // namespace qvsim_test

// Order entry and cancellation on the simulated broker: the broker's refusals (response plus
// error return, each with its error id and GB2312 text), the exchange's refusals (order reports
// with submit status '4'), the report sequence of an accepted order, and what cancels do.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace qvsim_test {
namespace {

const std::string kInstrumentNotFoundGb2312 = "\x43\x54\x50\x3a\xd5\xd2\xb2\xbb\xb5\xbd\xba\xcf\xd4\xbc";
const std::string kOrderNotFoundGb2312 =
    "\x43\x54\x50\x3a\xb3\xb7\xb5\xa5\xd5\xd2\xb2\xbb\xb5\xbd\xcf\xe0\xd3\xa6\xb1\xa8\xb5\xa5";
const std::string kCanceledGb2312 = "\xd2\xd1\xb3\xb7\xb5\xa5";  // 已撤单

class OrderTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    ready();
  }

  // Sends an order and returns its callbacks once they are complete: the response and the error
  // return for a broker refusal, otherwise the two order reports.
  std::vector<Event> send(CThostFtdcInputOrderField o) {
    const int id = ++requestId;
    const std::size_t before = spi.recorder.all().size();
    EXPECT_EQ(api->ReqOrderInsert(&o, id), 0);
    std::vector<Event> mine;
    spi.recorder.waitUntil([&](const std::vector<Event>& events) {
      mine.clear();
      for (std::size_t i = before; i < events.size(); ++i) {
        const Event& e = events[i];
        if ((e.name == "OnRspOrderInsert" && e.requestId == id) || e.name == "OnErrRtnOrderInsert" ||
            (e.name == "OnRtnOrder" && e.as<CThostFtdcOrderField>().RequestID == id)) {
          mine.push_back(e);
        }
      }
      return mine.size() >= 2;
    });
    return mine;
  }

  // Sends a cancel and returns its answer: the canceled order's report or the refusing response.
  Event cancel(CThostFtdcInputOrderActionField a) {
    const int id = ++requestId;
    a.ActionFlag = THOST_FTDC_AF_Delete;
    const std::size_t before = spi.recorder.all().size();
    EXPECT_EQ(api->ReqOrderAction(&a, id), 0);
    Event found;
    spi.recorder.waitUntil([&](const std::vector<Event>& events) {
      for (std::size_t i = before; i < events.size(); ++i) {
        const Event& e = events[i];
        if ((e.name == "OnRspOrderAction" && e.requestId == id) ||
            (e.name == "OnRtnOrder" && e.as<CThostFtdcOrderField>().OrderStatus == THOST_FTDC_OST_Canceled)) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  double frozenMargin() {
    CThostFtdcQryTradingAccountField q{};
    const int id = ++requestId;
    EXPECT_EQ(api->ReqQryTradingAccount(&q, id), 0);
    return waitAnswer("OnRspQryTradingAccount", id).as<CThostFtdcTradingAccountField>().FrozenMargin;
  }
};

struct BrokerRefusal {
  const char* name;
  const char* instrument;
  char direction;
  char offset;
  double price;
  int volume;
  int errorId;
};

class BrokerRefusalTest : public OrderTest, public ::testing::WithParamInterface<BrokerRefusal> {};

TEST_P(BrokerRefusalTest, AnswersResponseAndErrorReturnWithTheErrorId) {
  const BrokerRefusal& c = GetParam();
  const auto events = send(order(c.instrument, c.direction, c.offset, c.price, c.volume));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "OnRspOrderInsert");
  EXPECT_EQ(events[1].name, "OnErrRtnOrderInsert");
  for (const Event& e : events) {
    EXPECT_EQ(e.errorId, c.errorId);
    EXPECT_EQ(e.errorMsg.rfind("CTP:", 0), 0u);
    EXPECT_EQ(text(e.as<CThostFtdcInputOrderField>().InstrumentID), c.instrument);
  }
  EXPECT_TRUE(spi.recorder.named("OnRtnOrder").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Validation, BrokerRefusalTest,
    ::testing::Values(BrokerRefusal{"UnknownInstrument", "zz9999", '0', '0', 100.0, 1, 16},
                      BrokerRefusal{"ZeroVolume", "rb2605", '0', '0', 3500.0, 0, 15},
                      BrokerRefusal{"FundsForOpening", "rb2605", '0', '0', 3500.0, 400, 31},
                      BrokerRefusal{"ShfeCloseTodayBeyondToday", "rb2605", '1', '3', 3500.0, 3, 50},
                      BrokerRefusal{"ShfeCloseBeyondYesterday", "rb2605", '1', '1', 3500.0, 4, 51},
                      BrokerRefusal{"DceCloseBeyondPosition", "m2605", '0', '1', 3000.0, 6, 30},
                      BrokerRefusal{"CloseWithoutPosition", "SR605", '0', '1', 6000.0, 1, 30}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(OrderTest, UnknownInstrumentTextIsGb2312) {
  const auto events = send(order("zz9999", '0', '0', 100.0, 1));
  EXPECT_EQ(events.at(0).errorMsg, kInstrumentNotFoundGb2312);
}

TEST_F(OrderTest, DuplicateOrderRefOfTheSessionIsRefused) {
  ASSERT_EQ(send(order("m2605", '0', '0', 2950.0, 1, "55")).at(1).name, "OnRtnOrder");
  EXPECT_EQ(send(order("m2605", '0', '0', 2950.0, 1, "55")).at(0).errorId, 22);
}

TEST_F(OrderTest, OrdersBeforeSettlementConfirmationAreRefused) {
  ASSERT_EQ(authenticate("fresh").errorId, 0);
  ASSERT_EQ(login("fresh", "x").errorId, 0);
  auto o = order("m2605", '0', '0', 2950.0, 1);
  put(o.InvestorID, "fresh");
  EXPECT_EQ(send(o).at(0).errorId, 42);
}

struct ExchangeRefusal {
  const char* name;
  const char* instrument;
  char priceType;
  double price;
  int volume;
};

class ExchangeRefusalTest : public OrderTest, public ::testing::WithParamInterface<ExchangeRefusal> {};

TEST_P(ExchangeRefusalTest, ReportsSubmittedThenInsertRejected) {
  const ExchangeRefusal& c = GetParam();
  auto o = order(c.instrument, '0', '0', c.price, c.volume);
  o.OrderPriceType = c.priceType;
  const auto events = send(o);
  ASSERT_EQ(events.size(), 2u);
  const auto first = events[0].as<CThostFtdcOrderField>();
  const auto second = events[1].as<CThostFtdcOrderField>();
  EXPECT_EQ(first.OrderStatus, THOST_FTDC_OST_Unknown);
  EXPECT_EQ(first.OrderSubmitStatus, THOST_FTDC_OSS_InsertSubmitted);
  EXPECT_EQ(second.OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_EQ(second.OrderSubmitStatus, THOST_FTDC_OSS_InsertRejected);
  EXPECT_EQ(text(second.StatusMsg).rfind(kCanceledGb2312, 0), 0u);
  EXPECT_TRUE(text(second.OrderSysID).empty());
  EXPECT_DOUBLE_EQ(frozenMargin(), 2990.0 * 2 * 10 * 0.1) << "a refused order freezes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Validation, ExchangeRefusalTest,
    ::testing::Values(ExchangeRefusal{"PriceOffTick", "rb2605", THOST_FTDC_OPT_LimitPrice, 3500.5, 1},
                      ExchangeRefusal{"AboveUpperLimit", "rb2605", THOST_FTDC_OPT_LimitPrice, 3746.0, 1},
                      ExchangeRefusal{"BelowLowerLimit", "SR605", THOST_FTDC_OPT_LimitPrice, 5639.0, 1},
                      ExchangeRefusal{"MarketOrderAtShfe", "rb2605", THOST_FTDC_OPT_AnyPrice, 0.0, 1},
                      ExchangeRefusal{"MarketOrderAtIne", "sc2605", THOST_FTDC_OPT_AnyPrice, 0.0, 1},
                      ExchangeRefusal{"AboveMaxLimitVolume", "IF2601", THOST_FTDC_OPT_LimitPrice, 3800.0, 3}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(OrderTest, AcceptedOrderReportsSubmittedThenQueuedAndFreezesMargin) {
  const auto events = send(order("m2605", '0', '0', 2950.0, 3));
  ASSERT_EQ(events.size(), 2u);
  const auto first = events[0].as<CThostFtdcOrderField>();
  const auto second = events[1].as<CThostFtdcOrderField>();
  EXPECT_EQ(first.OrderStatus, THOST_FTDC_OST_Unknown);
  EXPECT_TRUE(text(first.OrderSysID).empty());
  EXPECT_EQ(second.OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  EXPECT_EQ(second.OrderSubmitStatus, THOST_FTDC_OSS_Accepted);
  EXPECT_FALSE(text(second.OrderSysID).empty());
  EXPECT_EQ(second.VolumeTraded, 0);
  EXPECT_EQ(second.VolumeTotal, 3);
  EXPECT_EQ(text(second.OrderRef), "8") << "an empty ref takes the next after the login's MaxOrderRef";
  EXPECT_EQ(text(second.InsertTime).size(), 8u);
  EXPECT_DOUBLE_EQ(frozenMargin(), 2990.0 * 2 * 10 * 0.1 + 2950.0 * 3 * 10 * 0.1);

  // DCE accepts market orders; with no market to trade against, nothing is left of one.
  auto market = order("m2605", '0', '0', 0.0, 1);
  market.OrderPriceType = THOST_FTDC_OPT_AnyPrice;
  EXPECT_EQ(send(market).at(1).as<CThostFtdcOrderField>().OrderSubmitStatus, THOST_FTDC_OSS_Accepted);
  const auto canceled = spi.recorder.waitFor("OnRtnOrder", 5).as<CThostFtdcOrderField>();
  EXPECT_EQ(canceled.OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_DOUBLE_EQ(frozenMargin(), 2990.0 * 2 * 10 * 0.1 + 2950.0 * 3 * 10 * 0.1);
}

TEST_F(OrderTest, CancelByRefThenAgainThenUnknown) {
  const auto accepted = send(order("m2605", '0', '0', 2950.0, 1, "60")).at(1).as<CThostFtdcOrderField>();
  CThostFtdcInputOrderActionField a{};
  put(a.BrokerID, "9999");
  put(a.InvestorID, "u1");
  put(a.OrderRef, "60");
  put(a.InstrumentID, "m2605");
  a.FrontID = accepted.FrontID;
  a.SessionID = accepted.SessionID;
  const Event canceled = cancel(a);
  ASSERT_EQ(canceled.name, "OnRtnOrder");
  EXPECT_EQ(text(canceled.as<CThostFtdcOrderField>().StatusMsg), kCanceledGb2312);
  EXPECT_EQ(canceled.as<CThostFtdcOrderField>().VolumeTotal, 1) << "the canceled remainder stays in VolumeTotal";
  EXPECT_DOUBLE_EQ(frozenMargin(), 2990.0 * 2 * 10 * 0.1) << "the cancel released the frozen margin";

  const Event again = cancel(a);
  ASSERT_EQ(again.name, "OnRspOrderAction");
  EXPECT_EQ(again.errorId, 26);
  const Event errRtn = spi.recorder.waitFor("OnErrRtnOrderAction");
  EXPECT_EQ(errRtn.errorId, 26);
  EXPECT_EQ(text(errRtn.as<CThostFtdcOrderActionField>().OrderRef), "60");

  put(a.OrderRef, "999");
  const Event unknown = cancel(a);
  EXPECT_EQ(unknown.errorId, 25);
  EXPECT_EQ(unknown.errorMsg, kOrderNotFoundGb2312);
}

TEST_F(OrderTest, CancelByExchangeOrderSysIdFindsAnEarlierSessionsOrder) {
  CThostFtdcInputOrderActionField a{};
  put(a.BrokerID, "9999");
  put(a.InvestorID, "u1");
  put(a.ExchangeID, "DCE");
  put(a.OrderSysID, "100");
  const Event e = cancel(a);
  EXPECT_EQ(text(e.as<CThostFtdcOrderField>().OrderRef), "7");
  EXPECT_EQ(e.as<CThostFtdcOrderField>().OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_DOUBLE_EQ(frozenMargin(), 0.0);
}

TEST_F(OrderTest, WorkingCloseOrdersFreezeThePositionUntilCanceled) {
  const auto closing = send(order("rb2605", '1', '1', 3500.0, 3, "80")).at(1).as<CThostFtdcOrderField>();
  ASSERT_EQ(closing.OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  EXPECT_EQ(send(order("rb2605", '1', '4', 3500.0, 1)).at(0).errorId, 51);
  ASSERT_EQ(send(order("rb2605", '1', '3', 3500.0, 2)).at(1).name, "OnRtnOrder") << "today's position is apart";

  CThostFtdcInputOrderActionField a{};
  put(a.OrderRef, "80");
  a.FrontID = closing.FrontID;
  a.SessionID = closing.SessionID;
  ASSERT_EQ(cancel(a).name, "OnRtnOrder");
  EXPECT_EQ(send(order("rb2605", '1', '1', 3500.0, 3)).at(1).name, "OnRtnOrder");
}

TEST_F(OrderTest, MaxOrderVolumeFollowsFundsAndFreeClosablePosition) {
  auto ask = [&](char direction, char offset) {
    CThostFtdcQueryMaxOrderVolumeField q{};
    put(q.InstrumentID, "rb2605");
    q.Direction = direction;
    q.OffsetFlag = offset;
    q.HedgeFlag = THOST_FTDC_HF_Speculation;
    const int id = ++requestId;
    EXPECT_EQ(api->ReqQueryMaxOrderVolume(&q, id), 0);
    return waitAnswer("OnRspQueryMaxOrderVolume", id).as<CThostFtdcQueryMaxOrderVolumeField>().MaxVolume;
  };
  const double available = 500000.0 - 17500.0 - 15000.0 - 5980.0;
  EXPECT_EQ(ask('0', '0'), static_cast<int>(available / (3745.0 * 10 * 0.1)));
  EXPECT_EQ(ask('1', '1'), 3);
  EXPECT_EQ(ask('1', '3'), 2);
  ASSERT_EQ(send(order("rb2605", '1', '1', 3500.0, 2)).at(1).name, "OnRtnOrder");
  EXPECT_EQ(ask('1', '1'), 1);
}

}  // namespace
}  // namespace qvsim_test

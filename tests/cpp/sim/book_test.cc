// The exchange's books of resting orders, seen from the trader objects: what rests keeps its
// remaining volume through partial fills, an investor's own orders are passed over, a snapshot
// fills the orders it reaches in the order they arrived, frozen funds follow the working orders
// back to exactly zero, a cancel finds the order of its own session, and every trader object of an
// investor, and only those, sees the investor's reports.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "matching_fixture.h"

namespace qvsim_test {
namespace {

std::vector<CThostFtdcTradeField> tradesIn(const std::vector<Event>& events) {
  std::vector<CThostFtdcTradeField> out;
  for (const Event& e : events) {
    if (e.name == "OnRtnTrade") out.push_back(e.as<CThostFtdcTradeField>());
  }
  return out;
}

// The (status, volume traded) of each order report among the events.
std::vector<std::pair<char, int>> statesIn(const std::vector<Event>& events) {
  std::vector<std::pair<char, int>> out;
  for (const Event& e : events) {
    if (e.name != "OnRtnOrder") continue;
    const auto order = e.as<CThostFtdcOrderField>();
    out.emplace_back(order.OrderStatus, order.VolumeTraded);
  }
  return out;
}

class BookTest : public MatchingTest {
 protected:
  void SetUp() override {
    MatchingTest::SetUp();
    other = connect(otherSpi, "u2", "pw2");
    push(depth("rb2605", 3500, 100, 3490, 5, 3510, 5));
  }
  void TearDown() override {
    other->Release();
    MatchingTest::TearDown();
  }

  RecordingTraderSpi otherSpi;
  CThostFtdcTraderApi* other = nullptr;
};

TEST_F(BookTest, APartlyFilledRestingOrderTradesOnlyItsRemainderAndOwnOrdersArePassedOver) {
  const int sell = insert(order("rb2605", '1', '0', 3502, 5));
  reportsOf(spi, sell, 2);
  auto events = reportsOf(otherSpi, insert(orderOf("u2", '0', 3502, 2), other), 3);
  ASSERT_EQ(tradesIn(events).size(), 1u);
  EXPECT_EQ(tradesIn(events)[0].Volume, 2);

  // u1's own buy crosses its own offer and does not trade with it.
  const int ownBid = insert(order("rb2605", '0', '0', 3503, 1));
  EXPECT_EQ(lastOrder(reportsOf(spi, ownBid, 2)).OrderStatus, THOST_FTDC_OST_NoTradeQueueing);

  // u2's next buy takes the 3 left of the offer, not 5, and the rest works at 3503.
  const int bigBid = insert(orderOf("u2", '0', 3503, 6), other);
  events = reportsOf(otherSpi, bigBid, 3);
  ASSERT_EQ(tradesIn(events).size(), 1u);
  EXPECT_EQ(tradesIn(events)[0].Volume, 3);
  EXPECT_DOUBLE_EQ(tradesIn(events)[0].Price, 3502.0);
  EXPECT_EQ(lastOrder(events).VolumeTotal, 3);
  EXPECT_EQ(lastOrder(reportsOf(spi, sell, 4)).OrderStatus, THOST_FTDC_OST_AllTraded);

  // At 3503 u1's own bid came first; u1's sell passes over it to u2's.
  events = reportsOf(spi, insert(order("rb2605", '1', '0', 3503, 1)), 3);
  ASSERT_EQ(tradesIn(events).size(), 1u);
  EXPECT_EQ(lastOrder(reportsOf(otherSpi, bigBid, 4)).VolumeTotal, 2);
  EXPECT_EQ(lastOrder(reportsOf(spi, ownBid, 2)).OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
}

TEST_F(BookTest, ASnapshotFillsTheOrdersItReachesInTheOrderTheyArrived) {
  const int first = insert(order("rb2605", '0', '0', 3503, 2));
  const int second = insert(order("rb2605", '0', '0', 3505, 2));
  const int far = insert(order("rb2605", '0', '0', 3400, 2));
  reportsOf(spi, far, 2);
  // 3 shown at 3502: the earlier order takes 2 at its price, the better-priced later one the last 1.
  push(depth("rb2605", 3502, 100, 3490, 5, 3502, 3));
  EXPECT_EQ(lastOrder(reportsOf(spi, first, 3)).VolumeTraded, 2);
  EXPECT_EQ(lastOrder(reportsOf(spi, second, 3)).VolumeTraded, 1);
  EXPECT_EQ(lastOrder(reportsOf(spi, far, 2)).OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  // A market offered below both fills the rest of the second, then the far order.
  push(depth("rb2605", 3399, 120, 3398, 5, 3399, 5));
  EXPECT_EQ(lastOrder(reportsOf(spi, far, 3)).OrderStatus, THOST_FTDC_OST_AllTraded);
  EXPECT_EQ(lastOrder(reportsOf(spi, second, 4)).OrderStatus, THOST_FTDC_OST_AllTraded);
}

TEST_F(BookTest, FrozenFundsFollowWorkingOrdersBackToExactlyZero) {
  const double perLot = 3505.0 * 10 * 0.1;
  const double before = account().FrozenMargin;  // the scenario's working m2605 order
  const int a = insert(order("rb2605", '0', '0', 3505, 3));
  const int b = insert(order("rb2605", '0', '0', 3505, 4));
  reportsOf(spi, b, 2);
  EXPECT_NEAR(account().FrozenMargin - before, 7 * perLot, 1e-6);
  // u2 sells 2: the earlier order fills 2 of 3.
  reportsOf(otherSpi, insert(orderOf("u2", '1', 3505, 2), other), 3);
  reportsOf(spi, a, 3);
  EXPECT_NEAR(account().FrozenMargin - before, 5 * perLot, 1e-6);

  CThostFtdcInputOrderActionField cancel{};
  cancel.ActionFlag = THOST_FTDC_AF_Delete;
  for (int id : {a, b}) {
    const auto working = lastOrder(reportsOf(spi, id, 2));
    put(cancel.OrderRef, text(working.OrderRef));
    cancel.FrontID = working.FrontID;
    cancel.SessionID = working.SessionID;
    ASSERT_EQ(api->ReqOrderAction(&cancel, ++requestId), 0);
  }
  reportsOf(spi, b, 3);
  reportsOf(spi, a, 4);
  EXPECT_NEAR(account().FrozenMargin, before, 1e-6);
  CThostFtdcInputOrderActionField scenarioOrder{};
  scenarioOrder.ActionFlag = THOST_FTDC_AF_Delete;
  put(scenarioOrder.OrderSysID, "100");
  ASSERT_EQ(api->ReqOrderAction(&scenarioOrder, ++requestId), 0);
  spi.recorder.waitUntil([](const std::vector<Event>& events) {
    for (const Event& e : events) {
      if (e.name == "OnRtnOrder" && text(e.as<CThostFtdcOrderField>().OrderSysID).find("100") != std::string::npos &&
          e.as<CThostFtdcOrderField>().OrderStatus == THOST_FTDC_OST_Canceled) {
        return true;
      }
    }
    return false;
  });
  const auto after = account();
  EXPECT_EQ(after.FrozenMargin, 0.0);
  EXPECT_EQ(after.FrozenCommission, 0.0);
  EXPECT_NEAR(after.Available, after.Balance - after.CurrMargin, 1e-6);
}

TEST_F(BookTest, ACancelByReferenceFindsTheOrderOfItsOwnSession) {
  // u1 on a second trader object uses the same reference as the first.
  RecordingTraderSpi secondSpi;
  CThostFtdcTraderApi* second = connect(secondSpi, "u1", "pw1");
  const int mine = insert(order("rb2605", '0', '0', 3400, 1, "42"));
  const int theirs = insert(order("rb2605", '0', '0', 3401, 1, "42"), second);
  const auto theirsQueued = lastOrder(reportsOf(secondSpi, theirs, 2));
  reportsOf(spi, mine, 2);

  CThostFtdcInputOrderActionField cancel{};
  cancel.ActionFlag = THOST_FTDC_AF_Delete;
  put(cancel.OrderRef, "42");
  cancel.FrontID = theirsQueued.FrontID;
  cancel.SessionID = theirsQueued.SessionID;
  ASSERT_EQ(second->ReqOrderAction(&cancel, ++requestId), 0);
  EXPECT_EQ(lastOrder(reportsOf(secondSpi, theirs, 3)).OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_EQ(lastOrder(reportsOf(spi, mine, 2)).OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  // The exchange id names one order whichever session asks.
  put(cancel.OrderRef, "");
  put(cancel.OrderSysID, text(lastOrder(reportsOf(spi, mine, 2)).OrderSysID));
  ASSERT_EQ(second->ReqOrderAction(&cancel, ++requestId), 0);
  EXPECT_EQ(lastOrder(reportsOf(spi, mine, 3)).OrderStatus, THOST_FTDC_OST_Canceled);
  second->Release();
}

TEST_F(BookTest, EveryObjectOfTheInvestorGetsItsReportsOnceAndOtherInvestorsNone) {
  RecordingTraderSpi secondSpi;
  CThostFtdcTraderApi* second = connect(secondSpi, "u1", "pw1");
  reportsOf(otherSpi, insert(orderOf("u2", '1', 3505, 2), other), 2);
  // u1's buy trades at once with u2's resting sell: the answering object gets its fill behind its
  // answer, u1's other object gets the same reports, u2 gets only its own side.
  const int buy = insert(order("rb2605", '0', '0', 3505, 2, "51"));
  spi.recorder.waitFor("OnRtnTrade");
  const auto mine = reportsOf(spi, buy, 1);
  const auto states = statesIn(mine);
  ASSERT_FALSE(states.empty());
  ASSERT_EQ(states.back(), std::make_pair(THOST_FTDC_OST_AllTraded, 2));
  const auto theirs = reportsOf(secondSpi, buy, states.size());
  EXPECT_EQ(statesIn(theirs), states);
  EXPECT_EQ(tradesIn(theirs).size(), 1u);
  EXPECT_EQ(tradesIn(mine).size(), 1u);

  otherSpi.recorder.waitFor("OnRtnTrade");
  for (const Event& e : otherSpi.recorder.all()) {
    if (e.name == "OnRtnOrder") {
      EXPECT_EQ(text(e.as<CThostFtdcOrderField>().InvestorID), "u2");
    } else if (e.name == "OnRtnTrade") {
      EXPECT_EQ(text(e.as<CThostFtdcTradeField>().InvestorID), "u2");
    }
  }
  second->Release();
}

}  // namespace
}  // namespace qvsim_test

// The order book against reports as the trader library delivers them: status transitions with
// exactly the events of each, freezes given back, turnover and costs, refusals, restores that
// survive a reconnect, and events whose host callable places orders from inside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "book_engine.h"
#include "trading/order_engine.h"

namespace qv_test {
namespace {

using qv::kEventAccepted;
using qv::kEventCanceled;
using qv::kEventCancelRejected;
using qv::kEventInsertRejected;
using qv::kEventTraded;
using qv::kEventUpdateCost;
using Ids = std::vector<int32_t>;

// Cash a lot of the instruments below freezes at price 100: 100 x 10 x 0.1.
constexpr double kLotAt100 = 100.0;

class OrderBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EventLog::clear();
    EventLog::attach(engine_);
    engine_.setUsableCash(10000);
    instrument_ = bookInstrument("ob1", "DCE");
  }

  void report(qv::OrderHolder* order, char status, int32_t traded, char submit = '3') {
    engine_.onOrderReport(orderReport(order->record, status, traded, submit));
  }
  void trade(qv::OrderHolder* order, int32_t volume, double price, const char* id) {
    engine_.onTradeReport(tradeReport(order->record, volume, price, id));
  }
  const CQVPositionField& position() { return engine_.positionOf(instrument_)->record; }
  // Gives the position `lots` long lots of yesterday through the position query.
  void loadLongHistory(int32_t lots) {
    CThostFtdcInvestorPositionField record{};
    std::strcpy(record.InstrumentID, instrument_->InstrumentID);
    std::strcpy(record.ExchangeID, instrument_->ExchangeID);
    record.PosiDirection = '2';
    record.PositionDate = '2';
    record.Position = lots;
    engine_.loadPosition(record);
  }

  BookEngine& engine_ = keptBookEngine();
  qv::InstrumentInfo* instrument_ = nullptr;
};

// ---- Status transitions and their events ----------------------------------------------------

TEST_F(OrderBookTest, AcceptPartFillsAndCompletionRaiseEachVolumeOnce) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 5, 100);
  report(order, '3', 0);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_TRUE(engine_.isWorking(order->record.OrderID));
  report(order, '1', 2);
  report(order, '1', 2);  // same traded volume again: nothing new
  report(order, '0', 5);
  EXPECT_EQ(EventLog::ids(), (Ids{kEventAccepted, kEventTraded, kEventTraded}));
  EXPECT_EQ(EventLog::events()[2].tradedVolumeChange, 3);
  EXPECT_EQ(order->record.OrderStatus, '4');
  EXPECT_EQ(order->record.TradedVolume, 5);
  EXPECT_FALSE(engine_.isWorking(order->record.OrderID));
  EXPECT_EQ(position().LongVolume, 5);
  EXPECT_EQ(position().LongVolumeToday, 5);
  // Events carry the position record and usable cash (5 lots frozen at sending).
  EXPECT_EQ(EventLog::events()[1].position, &position());
  EXPECT_DOUBLE_EQ(EventLog::events()[1].cash, 10000 - 5 * kLotAt100);
}

TEST_F(OrderBookTest, PartFillWithoutAcceptanceMakesTheOrderWorking) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 4, 100);
  report(order, '1', 1);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_TRUE(engine_.isWorking(order->record.OrderID));
  EXPECT_EQ(EventLog::ids(), (Ids{kEventTraded}));
}

TEST_F(OrderBookTest, ReportsOfOtherSessionsAndClientsAreDropped) {
  engine_.setSession(7, 70);
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 1, 100);
  CThostFtdcOrderField foreign = orderReport(order->record, '3', 0);
  foreign.FrontID = 8;
  foreign.SessionID = 80;
  engine_.onOrderReport(foreign);
  EXPECT_TRUE(EventLog::ids().empty());

  CThostFtdcOrderField unknown = orderReport(order->record, '3', 0);
  std::strcpy(unknown.OrderRef, "9000001");  // outside client 0's range
  engine_.onOrderReport(unknown);
  std::strcpy(unknown.OrderRef, "12x");  // not a number
  engine_.onOrderReport(unknown);
  EXPECT_TRUE(EventLog::ids().empty());

  CThostFtdcOrderField anySession = orderReport(order->record, '3', 0);
  anySession.FrontID = 0;
  anySession.SessionID = 0;
  engine_.onOrderReport(anySession);
  EXPECT_EQ(EventLog::ids(), (Ids{kEventAccepted}));
}

TEST_F(OrderBookTest, ReportsOfAnOrderSentBeforeAReconnectStillApply) {
  engine_.setSession(7, 70);
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 2, 100);
  engine_.setSession(9, 90);  // a new session after reconnecting
  report(order, '5', 0);      // the exchange reports with the order's own session
  EXPECT_EQ(EventLog::ids(), (Ids{kEventCanceled}));
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000);
}

TEST_F(OrderBookTest, TradeBeforeOrderReportIsCountedOnce) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 3, 100);
  trade(order, 2, 98, "T1");
  EXPECT_EQ(EventLog::ids(), (Ids{kEventTraded, kEventUpdateCost}));
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_EQ(order->record.TradedVolume, 2);
  EXPECT_STREQ(order->record.OrderSysID, "SYS1");
  report(order, '1', 2);  // the order report of the same volume raises nothing
  EXPECT_EQ(EventLog::ids().size(), 2u);
  trade(order, 1, 100, "T2");
  EXPECT_EQ(order->record.OrderStatus, '4');
  report(order, '0', 3);
  EXPECT_EQ(EventLog::count(kEventTraded), 2);
  EXPECT_EQ(position().LongVolume, 3);
  EXPECT_DOUBLE_EQ(position().LongTurnover, (2 * 98 + 100) * 10.0);
  EXPECT_DOUBLE_EQ(order->record.AverageCost, (2 * 98 + 100) / 3.0);
  // 3 lots frozen at 100; the two lots traded at 98 give back 2 x 2 x 10 x 0.1.
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000 - 3 * kLotAt100 + 4);
  EXPECT_FALSE(engine_.isWorking(order->record.OrderID));
}

TEST_F(OrderBookTest, TradeAfterOrderReportMovesOnlyCosts) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 2, 100);
  report(order, '0', 2);
  trade(order, 2, 100, "T3");
  EXPECT_EQ(EventLog::ids(), (Ids{kEventTraded, kEventUpdateCost}));
  EXPECT_EQ(order->record.TradedVolumeChange, 0);
  EXPECT_EQ(position().LongVolume, 2);
  EXPECT_DOUBLE_EQ(position().LongAverageCost, 100);
}

TEST_F(OrderBookTest, ReplayedTradeChangesNothing) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 2, 100);
  trade(order, 1, 100, "T4");
  trade(order, 1, 100, "T4");
  EXPECT_EQ(EventLog::ids(), (Ids{kEventTraded, kEventUpdateCost}));
  EXPECT_EQ(order->record.TradedVolumeOfTurnover, 1);
  EXPECT_EQ(position().LongVolume, 1);
}

TEST_F(OrderBookTest, TradeOfAnOrderNotHeldGoesToThePositionAndCash) {
  CQVOrderField stranger{};
  std::strcpy(stranger.StandardID, "ob1");
  std::strcpy(stranger.ExchangeID, "DCE");
  stranger.OrderID = 77;  // never sent by this client
  stranger.Direction = '1';
  stranger.OffsetFlag = '0';
  engine_.onTradeReport(tradeReport(stranger, 2, 100, "X1"));
  EXPECT_TRUE(EventLog::ids().empty());
  EXPECT_EQ(position().ShortVolume, 2);
  EXPECT_DOUBLE_EQ(position().ShortAverageCost, 100);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000 - 2 * kLotAt100);
}

// ---- Cancellation ---------------------------------------------------------------------------

TEST_F(OrderBookTest, CancelGivesBackTheRemainderOnceAndASecondReportIsSilent) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 10, 100);
  report(order, '3', 0);
  report(order, '1', 3);
  EventLog::clear();
  report(order, '5', 3);
  EXPECT_EQ(EventLog::ids(), (Ids{kEventCanceled}));
  EXPECT_EQ(order->record.CanceledVolume, 7);
  EXPECT_EQ(order->record.OrderStatus, '4');
  EXPECT_FALSE(engine_.isWorking(order->record.OrderID));
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000 - 3 * kLotAt100);
  report(order, '5', 3);
  EXPECT_EQ(EventLog::ids().size(), 1u);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000 - 3 * kLotAt100);
}

TEST_F(OrderBookTest, CancelWithLateTradesGivesBackTheOpeningRemainder) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 10, 100);
  report(order, '3', 0);
  report(order, '5', 4);  // 4 lots traded that no report has counted yet
  EXPECT_EQ(EventLog::ids(), (Ids{kEventAccepted, kEventTraded, kEventCanceled}));
  EXPECT_EQ(EventLog::events()[1].tradedVolumeChange, 4);
  EXPECT_EQ(order->record.CanceledVolume, 6);
  EXPECT_EQ(position().LongVolume, 4);
  EXPECT_DOUBLE_EQ(EventLog::events()[1].cash, 10000 - 10 * kLotAt100);
  EXPECT_DOUBLE_EQ(EventLog::events()[2].cash, 10000 - 4 * kLotAt100);
  // The late trade report then moves only the costs, and leaves the frozen counters alone.
  trade(order, 4, 100, "T5");
  EXPECT_EQ(position().LongVolume, 4);
  EXPECT_DOUBLE_EQ(order->record.Turnover, 4 * 100 * 10.0);
}

TEST_F(OrderBookTest, CancelWithLateTradesReleasesCloseVolumeExactly) {
  loadLongHistory(10);
  qv::OrderHolder* other = engine_.send(instrument_, '1', '1', 2, 100);
  qv::OrderHolder* order = engine_.send(instrument_, '1', '1', 5, 100);
  EXPECT_EQ(position().LongVolumeHistoryFrozen, 7);
  report(order, '5', 1);
  EXPECT_EQ(position().LongVolume, 9);
  EXPECT_EQ(position().LongVolumeHistoryFrozen, 2);  // the other order's lots stay frozen
  trade(order, 1, 100, "T6");
  EXPECT_EQ(position().LongVolumeHistoryFrozen, 2);
  report(other, '5', 0);
  EXPECT_EQ(position().LongVolumeFrozen, 0);
  EXPECT_EQ(position().LongVolume, 9);
}

// ---- Refusals -------------------------------------------------------------------------------

TEST_F(OrderBookTest, InsertRefusalReleasesTheFreezeOnceWithItsText) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 2, 100);
  CThostFtdcInputOrderField input{};
  std::snprintf(input.OrderRef, sizeof input.OrderRef, "%d", order->record.OrderID);
  engine_.onInsertRefused(input, 31, "no money");
  engine_.onInsertRefused(input, 31, "no money");
  report(order, '5', 0, '4');
  EXPECT_EQ(EventLog::ids(), (Ids{kEventInsertRejected}));
  EXPECT_DOUBLE_EQ(EventLog::events()[0].cash, 0);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 10000);
  EXPECT_EQ(order->record.OrderStatus, '5');
  EXPECT_EQ(order->record.ErrorID, 31);
  EXPECT_STREQ(order->record.Message,
               "CTPTrader InsertOrder Failed. UserID:book,ExchangeID:DCE,StandardID:ob1,OrderID:100,"
               "Direction:0,Volume:2,OrderType:0,Price:100.000000,ErrorID:31,ErrorMsg:no money.");
}

TEST_F(OrderBookTest, RejectionByReportReleasesCloseVolume) {
  loadLongHistory(3);
  qv::OrderHolder* order = engine_.send(instrument_, '1', '1', 3, 100);
  report(order, '5', 0, '4');
  EXPECT_EQ(EventLog::ids(), (Ids{kEventInsertRejected}));
  EXPECT_EQ(order->record.ErrorID, -1002700);
  EXPECT_NE(std::strstr(order->record.Message, "ErrorID:-1002700,ErrorMsg:report."), nullptr);
  EXPECT_EQ(position().LongVolumeFrozen, 0);
}

TEST_F(OrderBookTest, CancelRefusalChangesOnlyTheMessage) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 1, 100);
  report(order, '3', 0);
  char ref[13];
  std::snprintf(ref, sizeof ref, "%d", order->record.OrderID);
  // One refused request reported twice (response and error return), then a second refusal.
  engine_.onCancelRefused(ref, 7, 26, "too late");
  engine_.onCancelRefused(ref, 7, 26, "too late");
  EXPECT_EQ(EventLog::ids(), (Ids{kEventAccepted, kEventCancelRejected}));
  engine_.onCancelRefused(ref, 9, 26, "too late");
  EXPECT_EQ(EventLog::ids(), (Ids{kEventAccepted, kEventCancelRejected, kEventCancelRejected}));
  EXPECT_DOUBLE_EQ(EventLog::events()[1].cash, 0);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_EQ(order->record.ErrorID, 0);
  EXPECT_STREQ(order->record.Message,
               "CTPTrader CancelOrder Failed. UserID:book,ExchagneID:DCE,StandardID:ob1,OrderID:100,"
               "Direction:0,Volume:1,OrderType:0,Price:100.000000,ErrorID:26,ErrorMsg:too late.");
}

TEST_F(OrderBookTest, LongServerMessagesAreCutToTheRecord) {
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 1, 100);
  CThostFtdcInputOrderField input{};
  std::snprintf(input.OrderRef, sizeof input.OrderRef, "%d", order->record.OrderID);
  const std::string longText(400, 'x');
  engine_.onInsertRefused(input, 1, longText.c_str());
  EXPECT_EQ(std::strlen(order->record.Message), sizeof order->record.Message - 1);
}

// ---- Events whose callable places orders ----------------------------------------------------

TEST_F(OrderBookTest, CallablePlacingAnOrderOnTheSamePositionFromInsideAnEventPassesThrough) {
  loadLongHistory(5);
  qv::OrderHolder* working = engine_.send(instrument_, '0', '0', 1, 90);
  report(working, '3', 0);
  qv::OrderHolder* order = engine_.send(instrument_, '0', '0', 1, 100);
  qv::OrderHolder* placed = nullptr;
  EventLog::setHook([&](const RecordedEvent& event) {
    if (event.eventId != kEventTraded || placed != nullptr) return;
    // Raised while this thread holds the order's and the position's locks; order entry takes
    // the same position's lock to freeze the close volume.
    placed = engine_.sellClose(instrument_, "DCE", "ob1", 2, '0', 100, 0, 0, '1', 0);
    engine_.cancelOrderByOrderID(working->record.OrderID);
  });
  report(order, '0', 1);
  ASSERT_NE(placed, nullptr);
  EXPECT_EQ(placed->record.OrderStatus, '1');
  EXPECT_EQ(position().LongVolumeHistoryFrozen, 2);
  EXPECT_EQ(position().LongVolume, 6);
  EXPECT_EQ(engine_.findOrder(placed->record.OrderID), placed);
  EXPECT_EQ(engine_.takeCancelRequests(), (Ids{working->record.OrderID}));
}

TEST_F(OrderBookTest, CallableCancellingFromInsideTheAcceptedEventReachesTheExchange) {
  // Strategies cancel as soon as an order is accepted (a quote gone stale, a fill elsewhere):
  // the event is raised while the order is being marked working, and every cancel path must see
  // it as working already.
  qv::OrderHolder* byId = engine_.send(instrument_, '0', '0', 1, 100);
  qv::OrderHolder* byAll = engine_.send(instrument_, '0', '0', 1, 101);
  int32_t byIdResult = -9;
  EventLog::setHook([&](const RecordedEvent& event) {
    if (event.eventId != kEventAccepted) return;
    if (event.orderId == byId->record.OrderID) byIdResult = engine_.cancelOrderByOrderID(event.orderId);
    if (event.orderId == byAll->record.OrderID) engine_.cancelOrderAll();
  });
  report(byId, '3', 0);
  report(byAll, '3', 0);
  EXPECT_EQ(byIdResult, 0);
  const Ids requests = engine_.takeCancelRequests();
  EXPECT_NE(std::find(requests.begin(), requests.end(), byId->record.OrderID), requests.end());
  EXPECT_NE(std::find(requests.begin(), requests.end(), byAll->record.OrderID), requests.end());
}

// ---- Restoring from the queries -------------------------------------------------------------

CThostFtdcOrderField queriedOrder(int32_t ref, char status, int32_t traded) {
  CQVOrderField order{};
  order.OrderID = ref;
  std::strcpy(order.StandardID, "ob1");
  std::strcpy(order.ExchangeID, "DCE");
  order.Direction = '0';
  order.OffsetFlag = '0';
  order.OriginalVolume = 5;
  order.OriginalPrice = 100;
  order.FrontID = 3;
  order.SessionID = 30;
  return orderReport(order, status, traded);
}

TEST_F(OrderBookTest, RestoredOrdersAndTradesSurviveARepeatedQuery) {
  const CThostFtdcOrderField queried = queriedOrder(1234567, '1', 2);
  CQVOrderField shape{};
  shape.OrderID = 1234567;
  std::strcpy(shape.StandardID, "ob1");
  std::strcpy(shape.ExchangeID, "DCE");
  shape.Direction = '0';
  shape.OffsetFlag = '0';
  for (int connection = 0; connection < 2; ++connection) {
    engine_.restoreOrder(queried);
    engine_.restoreTrade(tradeReport(shape, 1, 100, "R1"));
    engine_.restoreTrade(tradeReport(shape, 1, 104, "R2"));
    engine_.finishOrderRestore();
  }
  qv::OrderHolder* order = engine_.findOrder(1234567);
  ASSERT_NE(order, nullptr);
  EXPECT_GE(engine_.orderCounter(), 12345);
  EXPECT_EQ(order->record.OrderMark, 67);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_EQ(order->record.OrderLocalTime, -1);
  EXPECT_TRUE(engine_.isWorking(1234567));
  EXPECT_EQ(order->record.TradedVolume, 2);
  EXPECT_EQ(order->record.TradedVolumeOfTurnover, 2);
  EXPECT_DOUBLE_EQ(order->record.Turnover, (100 + 104) * 10.0);
  EXPECT_DOUBLE_EQ(order->record.AverageCost, 102);

  // A live trade followed by a reconnect that queries it again.
  trade(order, 1, 110, "L1");
  engine_.restoreTrade(tradeReport(shape, 1, 110, "L1"));
  EXPECT_EQ(order->record.TradedVolumeOfTurnover, 3);
  EXPECT_DOUBLE_EQ(order->record.AverageCost, (100 + 104 + 110) / 3.0);

  // The order finished while disconnected: the next restore takes it out of the working set.
  engine_.restoreOrder(queriedOrder(1234567, '5', 3));
  engine_.finishOrderRestore();
  EXPECT_EQ(order->record.OrderStatus, '4');
  EXPECT_EQ(order->record.CanceledVolume, 2);
  EXPECT_FALSE(engine_.isWorking(1234567));
}

TEST_F(OrderBookTest, RestoredRejectionAndForeignReferences) {
  engine_.restoreOrder(queriedOrder(500, '5', 0));
  CThostFtdcOrderField rejected = queriedOrder(600, '5', 0);
  rejected.OrderSubmitStatus = '4';
  engine_.restoreOrder(rejected);
  engine_.restoreOrder(queriedOrder(9000100, '3', 0));  // another client's range
  EXPECT_EQ(engine_.findOrder(500)->record.CanceledVolume, 5);
  EXPECT_EQ(engine_.findOrder(600)->record.OrderStatus, '5');
  EXPECT_EQ(engine_.findOrder(600)->record.ErrorID, -1002700);
  EXPECT_EQ(engine_.findOrder(9000100), nullptr);
  EXPECT_TRUE(EventLog::ids().empty());
}

}  // namespace
}  // namespace qv_test

// State across a reconnect and a day roll: what the reload leaves must be what the server says
// (positions it no longer lists are flat, frozen lots leave from wherever the reload put them), fills
// made while the front was down reach the host once with their own prices, and a new trading day
// starts with its own trade ids and without the old day's working orders.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "book_engine.h"
#include "trading/order_engine.h"

namespace qv_test {
namespace {

using qv::kEventCanceled;
using qv::kEventTraded;
using qv::kEventUpdateCost;
using Ids = std::vector<int32_t>;

CThostFtdcInvestorPositionField longRecord(const qv::InstrumentInfo* instrument, char date,
                                           int32_t lots, int32_t frozen) {
  CThostFtdcInvestorPositionField record{};
  std::strcpy(record.InstrumentID, instrument->InstrumentID);
  std::strcpy(record.ExchangeID, instrument->ExchangeID);
  record.PosiDirection = '2';
  record.PositionDate = date;
  record.Position = lots;
  record.ShortFrozen = frozen;
  record.OpenCost = lots * 1000.0;
  return record;
}

class ReconnectStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EventLog::clear();
    EventLog::attach(engine_);
    engine_.setUsableCash(100000);
  }

  // One position query: the records, then its last answer.
  void positionRound(const std::vector<CThostFtdcInvestorPositionField>& records) {
    ++round_;
    engine_.startPositionRound(round_);
    for (const auto& record : records) engine_.loadPosition(record);
    engine_.finishPositionRound(round_);
  }
  void report(qv::OrderHolder* order, char status, int32_t traded) {
    engine_.onOrderReport(orderReport(order->record, status, traded));
  }

  BookEngine& engine_ = keptBookEngine();
  int32_t round_ = 0;
};

// ---- Positions after a reload ---------------------------------------------------------------

TEST_F(ReconnectStateTest, SideThatWentFlatWhileDownIsZeroAfterTheReload) {
  qv::InstrumentInfo* flat = bookInstrument("rs-flat", "SHFE");
  qv::InstrumentInfo* kept = bookInstrument("rs-kept", "SHFE");
  positionRound({longRecord(flat, '2', 2, 0), longRecord(kept, '2', 1, 0)});
  // A resting sell of the two lots; it fills while the front is down, so no report arrives.
  engine_.send(flat, '1', '4', 2, 100);
  ASSERT_EQ(engine_.positionOf(flat)->record.LongVolumeFrozen, 2);

  positionRound({longRecord(kept, '2', 1, 0)});
  const CQVPositionField& p = engine_.positionOf(flat)->record;
  EXPECT_EQ(p.LongVolume, 0);
  EXPECT_EQ(p.LongVolumeHistory, 0);
  EXPECT_EQ(p.LongVolumeFrozen, 0);
  EXPECT_EQ(p.LongVolumeHistoryFrozen, 0);
  EXPECT_DOUBLE_EQ(p.LongTurnover, 0);
  EXPECT_DOUBLE_EQ(p.LongAverageCost, 0);
  EXPECT_EQ(engine_.positionOf(kept)->record.LongVolume, 1);

  // A query that lists nothing at all leaves every side flat.
  positionRound({});
  EXPECT_EQ(engine_.positionOf(kept)->record.LongVolume, 0);
}

// Exchanges that close with offset '1' report a side as one record of today's lots holding all
// lots and all frozen lots; the close order that froze them books yesterday's frozen counter.
TEST_F(ReconnectStateTest, FrozenLotsOfAReloadLeaveWhenTheCloseOrderIsCanceledOrFilled) {
  qv::InstrumentInfo* instrument = bookInstrument("rs-dce", "DCE");
  positionRound({longRecord(instrument, '1', 5, 0)});
  qv::OrderHolder* close = engine_.send(instrument, '1', '1', 3, 100);
  report(close, '3', 0);
  positionRound({longRecord(instrument, '1', 5, 3)});
  const CQVPositionField& p = engine_.positionOf(instrument)->record;
  ASSERT_EQ(p.LongVolumeFrozen, 3);

  report(close, '5', 0);
  EXPECT_EQ(p.LongVolumeFrozen, 0);
  EXPECT_EQ(p.LongVolumeTodayFrozen, 0);
  // Selling the five free lots closes all five and opens nothing.
  qv::OrderHolder* sold = engine_.sell(instrument, 5, '0', 100, 0, 0);
  ASSERT_NE(sold, nullptr);
  EXPECT_EQ(sold->record.OffsetFlag, '1');
  EXPECT_EQ(sold->record.OriginalVolume, 5);
  EXPECT_EQ(sold->record.NextOrder, nullptr);
  report(sold, '5', 0);

  // The same reload, and this time the close order fills.
  qv::OrderHolder* filled = engine_.send(instrument, '1', '1', 3, 100);
  positionRound({longRecord(instrument, '1', 5, 3)});
  report(filled, '0', 3);
  EXPECT_EQ(p.LongVolume, 2);
  EXPECT_EQ(p.LongVolumeFrozen, 0);
}

// ---- Fills while the front was down ---------------------------------------------------------

TEST_F(ReconnectStateTest, FillsMadeWhileDownAreRaisedOnceWithTheirOwnPrices) {
  qv::InstrumentInfo* instrument = bookInstrument("rs-fill", "DCE");
  qv::OrderHolder* order = engine_.send(instrument, '0', '0', 5, 100);
  report(order, '3', 0);
  qv::OrderHolder* canceled = engine_.send(instrument, '0', '0', 4, 100);
  report(canceled, '3', 0);
  EventLog::clear();
  EventLog::attach(engine_);

  // The reload after the outage, twice (a second reconnect finds nothing new).
  for (int connection = 0; connection < 2; ++connection) {
    engine_.restoreOrder(orderReport(order->record, '1', 3));
    engine_.restoreOrder(orderReport(canceled->record, '5', 1));
    engine_.restoreTrade(tradeReport(order->record, 2, 99, "F1"));
    engine_.restoreTrade(tradeReport(order->record, 1, 98, "F2"));
    engine_.restoreTrade(tradeReport(canceled->record, 1, 97, "F3"));
    engine_.finishOrderRestore();
  }

  const std::vector<RecordedEvent> events = EventLog::events();
  ASSERT_EQ(EventLog::ids(), (Ids{kEventTraded, kEventUpdateCost, kEventTraded, kEventUpdateCost,
                                  kEventTraded, kEventUpdateCost, kEventCanceled}));
  EXPECT_EQ(events[0].orderId, order->record.OrderID);
  EXPECT_EQ(events[0].tradedVolumeChange, 2);
  EXPECT_EQ(events[2].tradedVolumeChange, 1);
  EXPECT_EQ(events[4].orderId, canceled->record.OrderID);
  EXPECT_EQ(order->record.TradedVolume, 3);
  EXPECT_DOUBLE_EQ(order->record.LastTradedPrice, 98);
  EXPECT_DOUBLE_EQ(order->record.AverageCost, (2 * 99 + 98) / 3.0);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_TRUE(engine_.isWorking(order->record.OrderID));
  EXPECT_EQ(canceled->record.OrderStatus, '4');
  EXPECT_EQ(canceled->record.TradedVolume, 1);
  EXPECT_EQ(canceled->record.CanceledVolume, 3);
  EXPECT_FALSE(engine_.isWorking(canceled->record.OrderID));
  EXPECT_EQ(engine_.positionOf(instrument)->record.LongVolume, 4);
}

TEST_F(ReconnectStateTest, OrdersFirstSeenInAReloadAreRestoredSilently) {
  qv::InstrumentInfo* instrument = bookInstrument("rs-new", "DCE");
  CQVOrderField shape{};
  shape.OrderID = 4200;
  std::strcpy(shape.StandardID, instrument->InstrumentID);
  std::strcpy(shape.ExchangeID, instrument->ExchangeID);
  shape.Direction = '0';
  shape.OffsetFlag = '0';
  shape.OriginalVolume = 3;
  shape.OriginalPrice = 100;
  engine_.restoreOrder(orderReport(shape, '1', 2));
  engine_.restoreTrade(tradeReport(shape, 2, 101, "N1"));
  engine_.finishOrderRestore();
  EXPECT_TRUE(EventLog::ids().empty());
  qv::OrderHolder* order = engine_.findOrder(4200);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->record.TradedVolume, 2);
  EXPECT_DOUBLE_EQ(order->record.AverageCost, 101);
}

TEST_F(ReconnectStateTest, AnOrderTheServerNeverGotIsRejectedAfterTheReload) {
  qv::InstrumentInfo* instrument = bookInstrument("rs-lost", "DCE");
  engine_.setSession(1, 10);
  qv::OrderHolder* lost = engine_.send(instrument, '0', '0', 2, 100);
  qv::OrderHolder* known = engine_.send(instrument, '0', '0', 1, 100);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 100000 - 3 * 100.0);
  // The next session; a failed order query says nothing about which orders exist.
  engine_.setSession(1, 11);
  qv::OrderHolder* younger = engine_.send(instrument, '0', '0', 1, 100);
  engine_.finishOrderRestore();
  EXPECT_EQ(lost->record.OrderStatus, '1');

  engine_.restoreOrder(orderReport(known->record, '3', 0));
  engine_.finishOrderQuery();
  engine_.finishOrderRestore();
  EXPECT_EQ(lost->record.OrderStatus, '5');
  EXPECT_EQ(lost->record.ErrorID, -1002200);
  EXPECT_EQ(known->record.OrderStatus, '3');
  EXPECT_EQ(younger->record.OrderStatus, '1');
  EXPECT_EQ(EventLog::ids(), (Ids{qv::kEventAccepted, qv::kEventInsertRejected}));
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 100000 - 2 * 100.0);
}

// ---- A new trading day ----------------------------------------------------------------------

TEST_F(ReconnectStateTest, NewDayCountsReusedTradeIdsAndDropsTheOldDaysWorkingOrders) {
  qv::InstrumentInfo* instrument = bookInstrument("rs-day", "DCE");
  engine_.beginTradingDay("20260108");
  qv::OrderHolder* first = engine_.send(instrument, '0', '0', 1, 100);
  qv::copyText(first->record.TradingDay, "20260108");
  report(first, '0', 1);
  CThostFtdcTradeField trade = tradeReport(first->record, 1, 100, "000000000001");
  qv::copyText(trade.TradingDay, "20260108");
  engine_.onTradeReport(trade);
  qv::OrderHolder* resting = engine_.send(instrument, '0', '0', 1, 90);
  qv::copyText(resting->record.TradingDay, "20260108");
  report(resting, '3', 0);

  engine_.beginTradingDay("20260109");
  EXPECT_FALSE(engine_.isWorking(resting->record.OrderID));
  EXPECT_EQ(resting->record.OrderStatus, '4');
  EXPECT_EQ(resting->record.CanceledVolume, 1);
  EXPECT_EQ(EventLog::ids().back(), kEventCanceled);
  EXPECT_EQ(engine_.cancelOrderAll(), 0);
  EXPECT_TRUE(engine_.takeCancelRequests().empty());

  // The new day's first trade carries the id the old day's first trade had.
  EventLog::clear();
  EventLog::attach(engine_);
  qv::OrderHolder* next = engine_.send(instrument, '0', '0', 1, 100);
  report(next, '0', 1);
  trade = tradeReport(next->record, 1, 102, "000000000001");
  qv::copyText(trade.TradingDay, "20260109");
  engine_.onTradeReport(trade);
  EXPECT_EQ(EventLog::ids(), (Ids{kEventTraded, kEventUpdateCost}));
  EXPECT_DOUBLE_EQ(next->record.Turnover, 1020);
  // A login on the same day again changes nothing.
  engine_.beginTradingDay("20260109");
  engine_.onTradeReport(trade);
  EXPECT_EQ(EventLog::count(kEventUpdateCost), 1);
}

}  // namespace
}  // namespace qv_test

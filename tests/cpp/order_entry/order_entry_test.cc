// Order entry on an engine whose library records what it is sent: how calls become orders (close
// plans, limits, sizing, balancing), what the orders carry, what they freeze, and what a refused
// send leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/reentrant_lock.h"
#include "support/test_engine.h"
#include "trading/error_codes.h"
#include "trading/volume_limits.h"

namespace qv {
namespace {

using qv_test::addInstrument;
using qv_test::TestEngine;

// Instruments of this file (the table is process-wide; each code has one configuration).
InstrumentInfo* shfe() { return addInstrument("oe1", "SHFE", 10, 0.1, 500, 1); }
InstrumentInfo* dce() { return addInstrument("oe2", "DCE", 10, 0.1, 500, 1); }
InstrumentInfo* shfeMax200() { return addInstrument("oe3", "SHFE", 10, 0.1, 200, 1); }
InstrumentInfo* dceMin2() { return addInstrument("oe4", "DCE", 10, 0.1, 500, 2); }
InstrumentInfo* dceMax1() { return addInstrument("oe5", "DCE", 10, 0.1, 1, 1); }

// An engine that lives until the process ends, as a client does: its order and position holders
// are never freed, and they stay reachable for the leak checker.
TestEngine& keptEngine(uint16_t clientIndex, const char* userId = "u1") {
  static auto* kept = new std::vector<TestEngine*>();
  kept->push_back(new TestEngine(clientIndex, userId));
  return *kept->back();
}

struct Sent {
  char direction;
  char offset;
  int volume;
  bool operator==(const Sent&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << "{" << s.direction << "," << s.offset << "," << s.volume << "}";
}

class OrderEntry : public testing::Test {
 protected:
  PositionHolder& position(InstrumentInfo* instrument) {
    return *engine_.position(instrument->InstrumentID, instrument->ExchangeID);
  }
  void setShorts(InstrumentInfo* instrument, int history, int today, int frozen = 0) {
    CQVPositionField& p = position(instrument).record;
    p.ShortVolumeHistory = history;
    p.ShortVolumeToday = today;
    p.ShortVolume = history + today;
    p.ShortVolumeHistoryFrozen = frozen;
    p.ShortVolumeFrozen = frozen;
  }
  void setLongs(InstrumentInfo* instrument, int history, int today, int frozen = 0) {
    CQVPositionField& p = position(instrument).record;
    p.LongVolumeHistory = history;
    p.LongVolumeToday = today;
    p.LongVolume = history + today;
    p.LongVolumeHistoryFrozen = frozen;
    p.LongVolumeFrozen = frozen;
  }
  void setMarket(InstrumentInfo* instrument, double bid, double ask, double last) {
    SnapshotEntry* e = engine_.snapshot(instrument->InstrumentID, instrument->ExchangeID);
    e->record.BidPrice1 = bid;
    e->record.AskPrice1 = ask;
    e->record.LastPrice = last;
    e->record.UpperLimitPrice = 1e6;
    e->record.LowerLimitPrice = 1;
  }
  std::vector<Sent> sent() const {
    std::vector<Sent> out;
    for (const CQVOrderField& r : engine_.sent()) {
      out.push_back({r.Direction, r.OffsetFlag, r.OriginalVolume});
    }
    return out;
  }
  // The records reached from `first` through NextOrder.
  static std::vector<const CQVOrderField*> chain(const OrderHolder* first) {
    std::vector<const CQVOrderField*> out;
    for (const CQVOrderField* r = first ? &first->record : nullptr; r; r = r->NextOrder) {
      out.push_back(r);
    }
    return out;
  }

  TestEngine& engine_ = keptEngine(0);
};

// ---- Close plans and limits ------------------------------------------------------------------

TEST_F(OrderEntry, ShfeBuyClosesYesterdayThenTodayThenOpensTheRestInOneChain) {
  InstrumentInfo* rb = shfe();
  setShorts(rb, 2, 1);
  engine_.setCash(100000);
  OrderHolder* first = engine_.buy(rb, 5, '0', 3500, 7, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '4', 2}, {'0', '3', 1}, {'0', '0', 2}}));
  auto orders = chain(first);
  ASSERT_EQ(orders.size(), 3u);
  const auto records = engine_.sent();
  for (size_t i = 0; i < orders.size(); ++i) {
    EXPECT_EQ(orders[i]->OrderID, records[i].OrderID);
    EXPECT_EQ(orders[i]->OrderStatus, '1');
    EXPECT_EQ(orders[i]->OriginalPrice, 3500);
    EXPECT_EQ(orders[i]->ErrorID, 0);
  }
  const CQVPositionField& p = position(rb).record;
  EXPECT_EQ(p.ShortVolumeHistoryFrozen, 2);
  EXPECT_EQ(p.ShortVolumeTodayFrozen, 1);
  EXPECT_EQ(p.ShortVolumeFrozen, 3);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 100000 - 2 * 3500 * 10 * 0.1);
}

TEST_F(OrderEntry, OtherExchangesCloseFromTheTotalAndOpenNothingWhenCovered) {
  InstrumentInfo* m = dce();
  setShorts(m, 6, 4);
  engine_.setCash(50000);
  ASSERT_NE(engine_.buy(m, 3, '0', 3000, 0, 0), nullptr);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '1', 3}}));
  EXPECT_EQ(position(m).record.ShortVolumeFrozen, 3);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 50000);  // closing freezes lots, not cash

  // A sell closes longs the same way, and frozen lots are not closed twice.
  setLongs(m, 4, 0, 1);
  engine_.clearSent();
  engine_.sell(m, 5, '0', 3000, 0, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '1', 3}, {'1', '0', 2}}));
}

TEST_F(OrderEntry, MaximumVolumeSplitsOneStepIntoSeveralOrders) {
  InstrumentInfo* rb = shfeMax200();
  setShorts(rb, 500, 0);
  engine_.buy(rb, 500, '0', 4000, 0, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '4', 200}, {'0', '4', 200}, {'0', '4', 100}}));
  EXPECT_EQ(position(rb).record.ShortVolumeHistoryFrozen, 500);
}

TEST_F(OrderEntry, OpeningBelowTheMinimumIsRaisedButClosingIsNot) {
  InstrumentInfo* c = dceMin2();
  engine_.buy(c, 1, '0', 100, 0, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '0', 2}}));

  // One lot asked against five closable: below the minimum, so no close; the lot is opened
  // (raised to the minimum) instead.
  setLongs(c, 5, 0);
  engine_.clearSent();
  OrderHolder* first = engine_.sell(c, 1, '0', 100, 0, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->record.ErrorID, kErrVolumeBelowOne);
  EXPECT_EQ(first->record.OrderStatus, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '0', 2}}));
  EXPECT_EQ(chain(first).size(), 2u);
}

// ---- Sizing ----------------------------------------------------------------------------------

TEST_F(OrderEntry, AmountAndRatioSizeFromTheFirstOrdersPrice) {
  InstrumentInfo* rb = shfe();
  engine_.setCash(200000);
  engine_.buyAmount(rb, 100000, '0', 4000, 0, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '0', 24}}));

  TestEngine& other = keptEngine(1);
  other.setCash(200000);
  other.buyRatio(rb, 0.5, '0', 4000, 0, 1);
  ASSERT_EQ(other.sent().size(), 1u);
  EXPECT_EQ(other.sent()[0].OriginalVolume, 24);

  // Closing orders count against the sized volume.
  setShorts(rb, 10, 0);
  engine_.clearSent();
  engine_.buyAmount(rb, 100000, '0', 4000, 0, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '4', 10}, {'0', '0', 14}}));
}

TEST_F(OrderEntry, AmountWithoutAUsablePriceLeavesOneUnsentOrder) {
  InstrumentInfo* rb = shfe();
  OrderHolder* first = engine_.buyAmount(rb, 100000, '1', 0, 0, 0);  // market price, no snapshot
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->record.ErrorID, kErrVolumeBelowOne);
  EXPECT_EQ(first->record.OriginalPrice, -1);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(engine_.findOrder(first->record.OrderID), first);

  // An amount too small for one lot opens nothing either.
  first = engine_.buyAmount(rb, 10, '0', 4000, 0, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->record.ErrorID, kErrVolumeBelowOne);
  EXPECT_TRUE(sent().empty());
}

// ---- Bounds of one call ----------------------------------------------------------------------

TEST_F(OrderEntry, AFloodOfLotsOpensWhatCashCoversAndHoldsBackTheRest) {
  InstrumentInfo* m = dce();
  engine_.setCash(1e7);  // 3333 lots of margin at 3000 x 10 x 0.1
  OrderHolder* first = engine_.buy(m, INT32_MAX, '0', 3000, 0, 0);
  auto orders = chain(first);
  ASSERT_EQ(orders.size(), 8u);
  int sentLots = 0;
  for (const Sent& s : sent()) sentLots += s.volume;
  EXPECT_EQ(sentLots, 3333);
  EXPECT_EQ(sent().size(), 7u);
  const CQVOrderField& rest = *orders.back();
  EXPECT_EQ(rest.ErrorID, kErrBeyondCallLimit);
  EXPECT_EQ(rest.OrderStatus, 0);
  EXPECT_EQ(rest.OriginalVolume, INT32_MAX - 3333);
  EXPECT_GE(engine_.usableCash(), 0.0);

  // Without cash, or without a price to judge it by, one order's worth still goes out.
  TestEngine& poor = keptEngine(2);
  orders = chain(poor.sell(m, INT32_MAX, '1', 0, 0, 0));  // market price, no snapshot: -1
  ASSERT_EQ(poor.sent().size(), 1u);
  EXPECT_EQ(poor.sent()[0].OriginalVolume, 500);
  EXPECT_EQ(orders.back()->OriginalVolume, INT32_MAX - 500);
  EXPECT_EQ(orders.back()->ErrorID, kErrBeyondCallLimit);
}

TEST_F(OrderEntry, NoCallSendsMoreThanTheOrderCeiling) {
  InstrumentInfo* one = dceMax1();
  engine_.setCash(1e12);
  auto orders = chain(engine_.buy(one, 1000, '0', 10, 0, 0));
  EXPECT_EQ(sent().size(), size_t{kMaxOrdersPerCall});
  ASSERT_EQ(orders.size(), sent().size() + 1);
  EXPECT_EQ(orders.back()->OriginalVolume, 1000 - kMaxOrdersPerCall);
  EXPECT_EQ(orders.back()->ErrorID, kErrBeyondCallLimit);

  // Closing too: the lots held back are neither frozen nor opened on the other side.
  setLongs(one, 1000, 0);
  engine_.clearSent();
  orders = chain(engine_.sell(one, 1000, '0', 10, 0, 0));
  EXPECT_EQ(sent().size(), size_t{kMaxOrdersPerCall});
  for (const Sent& s : sent()) EXPECT_EQ(s.offset, '1');
  EXPECT_EQ(position(one).record.LongVolumeFrozen, kMaxOrdersPerCall);
  EXPECT_EQ(orders.back()->ErrorID, kErrBeyondCallLimit);
  EXPECT_EQ(orders.back()->OffsetFlag, '1');

  engine_.clearSent();
  chain(engine_.balanceToShortVolume(one, INT32_MAX, '0', 10, 0));
  EXPECT_LE(sent().size(), size_t{kMaxOrdersPerCall});
}

TEST_F(OrderEntry, InfiniteAmountsAndRatiosAreRefusedAndHugeOnesAreBounded) {
  InstrumentInfo* m = dce();
  engine_.setCash(3e6);  // 1000 lots of margin at 3000 x 10 x 0.1
  EXPECT_EQ(engine_.buyAmount(m, INFINITY, '0', 3000, 0, 0), nullptr);
  EXPECT_EQ(engine_.sellAmount(m, INFINITY, '0', 3000, 0, 0), nullptr);
  EXPECT_EQ(engine_.buyRatio(m, INFINITY, '0', 3000, 0, 0), nullptr);
  EXPECT_EQ(engine_.sellRatio(m, NAN, '0', 3000, 0, 0), nullptr);
  EXPECT_EQ(engine_.balanceToLongValue(m, INFINITY, '0', 3000, 0), nullptr);
  EXPECT_TRUE(sent().empty());

  auto orders = chain(engine_.buyAmount(m, 1e308, '0', 3000, 0, 0));
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '0', 500}, {'0', '0', 500}}));
  EXPECT_EQ(orders.back()->ErrorID, kErrBeyondCallLimit);
  EXPECT_EQ(orders.back()->OriginalVolume, INT32_MAX - 1000);
}

// ---- Balancing -------------------------------------------------------------------------------

TEST_F(OrderEntry, BalanceToLongVolumeSellsTheSurplusOfFreeLots) {
  InstrumentInfo* m = dce();
  setLongs(m, 5, 0, 1);
  engine_.balanceToLongVolume(m, 3, '0', 3000, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '1', 1}}));
}

TEST_F(OrderEntry, BalanceClosesTheOtherSideThenOpensTheDifference) {
  InstrumentInfo* m = dce();
  setLongs(m, 4, 0);
  setShorts(m, 2, 0);
  engine_.balanceToLongVolume(m, 6, '0', 3000, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '1', 2}, {'0', '0', 2}}));
  engine_.clearSent();
  engine_.balanceToShortVolume(m, 1, '0', 3000, 0);  // longs 4 to close; shorts 2, 2 frozen
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '1', 4}, {'1', '0', 1}}));
}

TEST_F(OrderEntry, OrdersOfTheOtherDirectionArePricedForTheirOwnSide) {
  InstrumentInfo* m = dce();
  setMarket(m, 99, 101, 100);
  setLongs(m, 5, 0);
  setShorts(m, 2, 0);
  OrderHolder* first = engine_.balanceToLongVolume(m, 1, '1', 0, 0);
  auto orders = chain(first);
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[0]->Direction, '0');
  EXPECT_EQ(orders[0]->OriginalPrice, 101);  // buy at the ask
  EXPECT_EQ(orders[1]->Direction, '1');
  EXPECT_EQ(orders[1]->OriginalPrice, 99);   // sell at the bid
  EXPECT_EQ(orders[1]->OriginalVolume, 4);
}

TEST_F(OrderEntry, BalanceToValueSizesFromTheLastPrice) {
  InstrumentInfo* rb = shfe();
  EXPECT_EQ(engine_.balanceToLongValue(rb, 100000, '0', 4000, 0), nullptr);  // no snapshot
  EXPECT_TRUE(sent().empty());
  setMarket(rb, 3999, 4001, 4000);
  engine_.balanceToLongValue(rb, 100000, '0', 4000, 0);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '0', 24}}));
}

// ---- Explicit and automatic closes -------------------------------------------------------------

TEST_F(OrderEntry, AutomaticBuyCloseWalksThePlanAndReturnsTheLastOrder) {
  InstrumentInfo* rb = shfe();
  EXPECT_EQ(engine_.buyClose(rb, nullptr, nullptr, 3, '0', 3500, 0, 0, '\0', 0), nullptr);
  setShorts(rb, 2, 1);
  OrderHolder* last = engine_.buyClose(nullptr, nullptr, "oe1", 9, '0', 3500, 0, 0, '\0', 0);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '4', 2}, {'0', '3', 1}}));  // opens nothing
  EXPECT_EQ(last->record.OffsetFlag, '3');
  EXPECT_EQ(last->record.NextOrder, nullptr);
}

TEST_F(OrderEntry, ExplicitOrdersTakeTheVolumeAndFlagAsGiven) {
  InstrumentInfo* rb = shfe();
  engine_.setCash(100000);
  OrderHolder* close = engine_.sellClose(rb, nullptr, nullptr, 7, '0', 3500, 0, 0, '3', 0);
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close->record.OffsetFlag, '3');
  EXPECT_EQ(close->record.OriginalVolume, 7);
  EXPECT_EQ(position(rb).record.LongVolumeTodayFrozen, 7);
  // An instrument unknown to the table goes out by its texts; its cash cannot be priced.
  OrderHolder* open = engine_.sellOpen(nullptr, "CZCE", "zz999", 3, '0', 10, 0);
  ASSERT_NE(open, nullptr);
  EXPECT_STREQ(open->record.ExchangeID, "CZCE");
  EXPECT_STREQ(open->record.StandardID, "zz999");
  EXPECT_EQ(open->record.Direction, '1');
  EXPECT_EQ(open->record.OrderStatus, '1');
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 100000);
  EXPECT_NE(engine_.findPosition("zz999", "CZCE"), nullptr);
}

TEST_F(OrderEntry, CloseLongSharesOneVolumeAcrossPositionsAndChainsThemAll) {
  InstrumentInfo* rb = shfe();
  InstrumentInfo* m = dce();
  setLongs(rb, 2, 2);
  setLongs(m, 3, 0);
  OrderHolder* first = engine_.closeLong(nullptr, nullptr, 6, '0', 100, 0, 1);
  ASSERT_NE(first, nullptr);
  // Positions in key order: oe1.SHFE (today first: '3' 2, '4' 2), then oe2.DCE ('1' 2).
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '3', 2}, {'1', '4', 2}, {'1', '1', 2}}));
  EXPECT_EQ(chain(first).size(), 3u);
  EXPECT_STREQ(chain(first)[2]->StandardID, "oe2");

  engine_.clearSent();
  EXPECT_EQ(engine_.closeLong("DCE", nullptr, 9, '0', 100, 0, 0)->record.OriginalVolume, 1);
  EXPECT_EQ(sent(), (std::vector<Sent>{{'1', '1', 1}}));
  EXPECT_EQ(engine_.closeLong("DCE", "oe9", 1, '0', 100, 0, 0), nullptr);
  EXPECT_EQ(engine_.closeShort(nullptr, nullptr, 1, '0', 100, 0, 0), nullptr);
}

// ---- Identity, stamping and refusal ----------------------------------------------------------

TEST_F(OrderEntry, OrderIdsFollowTheClientIndexAndTheMark) {
  InstrumentInfo* rb = shfe();
  OrderHolder* a = engine_.buyOpen(rb, nullptr, nullptr, 1, '0', 10, 7);
  OrderHolder* b = engine_.buyOpen(rb, nullptr, nullptr, 1, '0', 10, 7);
  EXPECT_EQ(a->record.OrderID, 107);
  EXPECT_EQ(b->record.OrderID, 207);
  EXPECT_EQ(a->record.OrderMark, 7);
  TestEngine& three = keptEngine(3, "u3");
  OrderHolder* c = three.buyOpen(rb, nullptr, nullptr, 1, '0', 10, 42);
  EXPECT_EQ(c->record.OrderID, 3000142);
  EXPECT_STREQ(c->record.UserID, "u3");
  EXPECT_STREQ(c->record.ExchangeID, "SHFE");
  EXPECT_STREQ(c->record.StandardID, "oe1");
  EXPECT_GT(c->record.OrderLocalTime, 0);
  EXPECT_EQ(three.findOrder(3000142), c);
}

TEST_F(OrderEntry, RefusedSendIsMarkedAndGivesItsFreezeBack) {
  InstrumentInfo* rb = shfe();
  setShorts(rb, 2, 1);
  engine_.setCash(100000);
  engine_.setSendResult(-2);
  OrderHolder* first = engine_.buy(rb, 5, '0', 3500, 3, 0);
  ASSERT_NE(first, nullptr);
  // The refused close ends closing; the rest is opened and refused too.
  EXPECT_EQ(sent(), (std::vector<Sent>{{'0', '4', 2}, {'0', '0', 3}}));
  for (const CQVOrderField* r : chain(first)) {
    EXPECT_EQ(r->OrderStatus, '5');
    EXPECT_EQ(r->ErrorID, kErrSendFailed);
    const std::string message = r->Message;
    EXPECT_EQ(message.rfind("CTPTrader InsertOrder Failed. UserID:u1,ExchangeID:SHFE,", 0), 0u);
    EXPECT_NE(message.find(",ErrorID:-1002200,ErrorMsg:Error:Fail To Sended."), std::string::npos);
  }
  EXPECT_NE(std::string(first->record.Message).find("OrderID:103,Direction:0,Volume:2,"
                                                    "OrderType:0,Price:3500.000000"),
            std::string::npos);
  const CQVPositionField& p = position(rb).record;
  EXPECT_EQ(p.ShortVolumeHistoryFrozen, 0);
  EXPECT_EQ(p.ShortVolumeFrozen, 0);
  EXPECT_DOUBLE_EQ(engine_.usableCash(), 100000);
}

TEST_F(OrderEntry, LongInstrumentTextsAreCutInTheFailureText) {
  engine_.setSendResult(-1);
  const std::string code(120, 'x');
  OrderHolder* order = engine_.buyOpen(nullptr, "SHFE", code.c_str(), 1, '0', 1, 0);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(std::string(order->record.StandardID), std::string(80, 'x'));
  const std::string message = order->record.Message;
  EXPECT_NE(message.find("StandardID:" + std::string(80, 'x') + ",OrderID:"), std::string::npos);
  EXPECT_EQ(message.substr(message.size() - 8), "Sended..");
}

TEST_F(OrderEntry, CallsThatCannotPlaceAnythingMakeNoOrder) {
  InstrumentInfo* rb = shfe();
  engine_.setCash(100000);
  const int32_t before = engine_.orderCounter();
  EXPECT_EQ(engine_.buy(nullptr, 1, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.buy(rb, 0, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.sell(rb, -3, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.buyAmount(rb, 0, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.sellAmount(rb, NAN, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.buyRatio(rb, -0.5, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.buyOpen(rb, nullptr, nullptr, 0, '0', 1, 0), nullptr);
  EXPECT_EQ(engine_.buyOpen(nullptr, "SHFE", nullptr, 1, '0', 1, 0), nullptr);
  EXPECT_EQ(engine_.buyClose(nullptr, nullptr, "nope", 1, '0', 1, 0, 0, '\0', 0), nullptr);
  EXPECT_EQ(engine_.closeLong(nullptr, nullptr, 0, '0', 1, 0, 0), nullptr);
  EXPECT_EQ(engine_.balanceToLongVolume(rb, -1, '0', 1, 0), nullptr);
  EXPECT_EQ(engine_.balanceToShortValue(nullptr, 1e5, '0', 1, 0), nullptr);
  EXPECT_EQ(engine_.insertOrder(nullptr), -1);
  EXPECT_EQ(engine_.orderCounter(), before);
  EXPECT_TRUE(sent().empty());
}

// A host callable raised from an order event runs while its thread holds the order's and the
// position's write locks; placing an order on the same position from there must go through.
TEST_F(OrderEntry, PlacingFromInsideAnEventOnTheSamePositionDoesNotBlock) {
  InstrumentInfo* rb = shfe();
  setShorts(rb, 2, 0);
  OrderHolder* held = engine_.buyOpen(rb, nullptr, nullptr, 1, '0', 10, 0);
  PositionHolder& p = position(rb);
  {
    HolderWriteGuard<OrderHolder> orderGuard(held);
    HolderWriteGuard<PositionHolder> positionGuard(&p);
    ASSERT_NE(engine_.buy(rb, 3, '0', 3500, 0, 0), nullptr);
  }
  EXPECT_EQ(p.record.ShortVolumeHistoryFrozen, 2);
  EXPECT_EQ(p.lock.state(), 0);
  EXPECT_EQ(held->lock.state(), 0);
}

}  // namespace
}  // namespace qv

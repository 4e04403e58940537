// The CTP side of the order book: reports delivered on the stand-in library's thread reach the
// book, refusals arrive only with an error, restores run only while the session loads, and a
// repeated position query leaves the numbers as they were.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "base/reentrant_lock.h"
#include "base/text.h"
#include "client_fixture.h"
#include "qvsim.h"

namespace qv_test {
namespace {

constexpr int32_t kTaskQryOrder = 11202;

CThostFtdcOrderField queriedOrder(const char* ref, char status, int32_t traded) {
  CThostFtdcOrderField order{};
  qv::copyText(order.OrderRef, ref);
  qv::copyText(order.InstrumentID, "wr1");
  qv::copyText(order.ExchangeID, "DCE");
  qv::copyText(order.OrderSysID, "S9");
  order.Direction = '0';
  order.CombOffsetFlag[0] = '0';
  order.VolumeTotalOriginal = 4;
  order.VolumeTraded = traded;
  order.VolumeTotal = 4 - traded;
  order.LimitPrice = 50;
  order.OrderStatus = status;
  order.OrderSubmitStatus = '3';
  return order;
}

using ReportWiringTest = CtpClientTest;

// Reads a record that the library's thread may be writing, as a consistent copy.
template <typename Holder>
auto lockedCopy(Holder* holder) {
  qv::HolderReadGuard<Holder> guard(holder);
  return holder->record;
}

TEST_F(ReportWiringTest, RestoredOrderFollowsLaterReportsFromTheLibrary) {
  CThostFtdcOrderField queried = queriedOrder("1234567", '3', 1);
  ASSERT_EQ(qvsim_deliver('T', "OnRspQryOrder", &queried, sizeof queried, 0, 0, nullptr, 5, 1), 1);
  ASSERT_TRUE(waitFor([&] { return !responses(kTaskQryOrder).empty(); }));
  qv::OrderHolder* order = client_->findOrder(1234567);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->record.OrderStatus, '3');
  EXPECT_GE(client_->orderCounter(), 12345);

  CThostFtdcOrderField canceled = queriedOrder("1234567", '5', 1);
  ASSERT_EQ(qvsim_deliver('T', "OnRtnOrder", &canceled, sizeof canceled, 0, 0, nullptr, 0, 1), 1);
  EXPECT_TRUE(waitFor([&] { return lockedCopy(order).OrderStatus == '4'; }));
  EXPECT_EQ(lockedCopy(order).CanceledVolume, 3);
}

TEST_F(ReportWiringTest, OrdersAreNotRestoredOnceTheSessionIsReady) {
  client_->exchangeSessionState(qv::kStateReady);
  CThostFtdcOrderField queried = queriedOrder("300", '3', 0);
  client_->OnRspQryOrder(&queried, nullptr, 5, true);
  EXPECT_EQ(client_->findOrder(300), nullptr);
  CThostFtdcRspInfoField failure{};
  failure.ErrorID = 1;
  client_->exchangeSessionState(qv::kStateConnected);
  client_->OnRspQryOrder(&queried, &failure, 5, true);
  EXPECT_EQ(client_->findOrder(300), nullptr);
  client_->OnRspQryOrder(&queried, nullptr, 5, true);
  EXPECT_NE(client_->findOrder(300), nullptr);
}

TEST_F(ReportWiringTest, TradeOfAnUnknownOrderReachesThePosition) {
  CThostFtdcTradeField trade{};
  qv::copyText(trade.OrderRef, "999999");
  qv::copyText(trade.InstrumentID, "wr2");
  qv::copyText(trade.ExchangeID, "DCE");
  qv::copyText(trade.TradeID, "W1");
  trade.Direction = '1';
  trade.OffsetFlag = '0';
  trade.Volume = 3;
  trade.Price = 10;
  ASSERT_EQ(qvsim_deliver('T', "OnRtnTrade", &trade, sizeof trade, 0, 0, nullptr, 0, 1), 1);
  ASSERT_TRUE(waitFor([&] { return client_->findPosition("wr2", "DCE") != nullptr; }));
  qv::PositionHolder* position = client_->findPosition("wr2", "DCE");
  EXPECT_TRUE(waitFor([&] { return lockedCopy(position).ShortVolume == 3; }));
}

TEST_F(ReportWiringTest, RefusalsCountOnlyWithAnError) {
  CThostFtdcOrderField queried = queriedOrder("400", '3', 0);
  client_->OnRspQryOrder(&queried, nullptr, 5, true);
  qv::OrderHolder* order = client_->findOrder(400);
  ASSERT_NE(order, nullptr);

  CThostFtdcInputOrderActionField action{};
  qv::copyText(action.OrderRef, "400");
  client_->OnRspOrderAction(&action, nullptr, 7, true);
  EXPECT_EQ(order->record.Message[0], '\0');
  CThostFtdcRspInfoField info{};
  info.ErrorID = 26;
  qv::copyText(info.ErrorMsg, "late");
  client_->OnRspOrderAction(&action, &info, 7, true);
  EXPECT_NE(std::strstr(order->record.Message, "CancelOrder Failed."), nullptr);
  EXPECT_EQ(order->record.OrderStatus, '3');

  CThostFtdcInputOrderField input{};
  qv::copyText(input.OrderRef, "400");
  client_->OnRspOrderInsert(&input, nullptr, 8, true);
  EXPECT_EQ(order->record.OrderStatus, '3');
  info.ErrorID = 31;
  client_->OnErrRtnOrderInsert(&input, &info);
  EXPECT_EQ(order->record.OrderStatus, '5');
  EXPECT_EQ(order->record.ErrorID, 31);
  client_->OnRtnOrder(nullptr);
  client_->OnRtnTrade(nullptr);
}

// The position query's round is its request id: the same answer delivered again under a new
// request (a reconnect) leaves the numbers as they were.
TEST_F(ReportWiringTest, RepeatedPositionQueryLeavesTheSameTurnover) {
  CThostFtdcInvestorPositionField record{};
  qv::copyText(record.InstrumentID, "tp1");
  qv::copyText(record.ExchangeID, "DCE");
  record.PosiDirection = '3';
  record.PositionDate = '1';
  record.Position = 2;
  record.OpenCost = 8000;
  client_->OnRspQryInvestorPosition(&record, nullptr, 31, true);
  client_->OnRspQryInvestorPosition(&record, nullptr, 57, true);
  qv::PositionHolder* position = client_->findPosition("tp1", "DCE");
  ASSERT_NE(position, nullptr);
  EXPECT_EQ(position->record.ShortVolume, 2);
  EXPECT_DOUBLE_EQ(position->record.ShortTurnover, 8000);
}

}  // namespace
}  // namespace qv_test

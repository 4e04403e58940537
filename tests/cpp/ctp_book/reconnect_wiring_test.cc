// The CTP side of a reload: the position query's last answer (also an empty one) closes its round,
// the trade query's last answer lets orders that moved during an outage catch up, and the account
// id the first account answer fills is read safely by host threads sending transfers meanwhile.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "base/text.h"
#include "client_fixture.h"
#include "qvsim.h"

namespace qv_test {
namespace {

using ReconnectWiringTest = CtpClientTest;

CThostFtdcInvestorPositionField shortToday(const char* instrumentId, int32_t lots) {
  CThostFtdcInvestorPositionField record{};
  qv::copyText(record.InstrumentID, instrumentId);
  qv::copyText(record.ExchangeID, "DCE");
  record.PosiDirection = '3';
  record.PositionDate = '1';
  record.Position = lots;
  record.LongFrozen = 1;
  record.OpenCost = lots * 1000.0;
  return record;
}

TEST_F(ReconnectWiringTest, PositionAnswerWithoutRecordsLeavesEverySideFlat) {
  CThostFtdcInvestorPositionField record = shortToday("rw1", 2);
  client_->OnRspQryInvestorPosition(&record, nullptr, 70, true);
  qv::PositionHolder* position = client_->findPosition("rw1", "DCE");
  ASSERT_NE(position, nullptr);
  ASSERT_EQ(position->record.ShortVolume, 2);

  CThostFtdcRspInfoField failure{};
  failure.ErrorID = 1;
  client_->OnRspQryInvestorPosition(nullptr, &failure, 71, true);
  EXPECT_EQ(position->record.ShortVolume, 2) << "a failed answer says nothing about positions";

  client_->OnRspQryInvestorPosition(nullptr, nullptr, 72, true);
  EXPECT_EQ(position->record.ShortVolume, 0);
  EXPECT_EQ(position->record.ShortVolumeFrozen, 0);
  EXPECT_DOUBLE_EQ(position->record.ShortTurnover, 0);
}

TEST_F(ReconnectWiringTest, TradeQueryCompletesTheCatchUpOfAKnownOrder) {
  CThostFtdcOrderField queried{};
  qv::copyText(queried.OrderRef, "2300");
  qv::copyText(queried.InstrumentID, "rw2");
  qv::copyText(queried.ExchangeID, "DCE");
  qv::copyText(queried.OrderSysID, "S23");
  queried.Direction = '0';
  queried.CombOffsetFlag[0] = '0';
  queried.VolumeTotalOriginal = 4;
  queried.VolumeTotal = 4;
  queried.LimitPrice = 50;
  queried.OrderStatus = '3';
  queried.OrderSubmitStatus = '3';
  // Start-up: the order is new to the book.
  client_->OnRspQryOrder(&queried, nullptr, 80, true);
  client_->OnRspQryTrade(nullptr, nullptr, 81, true);
  qv::OrderHolder* order = client_->findOrder(2300);
  ASSERT_NE(order, nullptr);

  // A reconnect: two lots traded meanwhile.
  queried.OrderStatus = '1';
  queried.VolumeTraded = 2;
  queried.VolumeTotal = 2;
  client_->OnRspQryOrder(&queried, nullptr, 82, true);
  EXPECT_EQ(order->record.TradedVolume, 0) << "the order waits for its trades";
  CThostFtdcTradeField trade{};
  qv::copyText(trade.OrderRef, "2300");
  qv::copyText(trade.InstrumentID, "rw2");
  qv::copyText(trade.ExchangeID, "DCE");
  qv::copyText(trade.OrderSysID, "S23");
  qv::copyText(trade.TradeID, "RW23");
  trade.Direction = '0';
  trade.OffsetFlag = '0';
  trade.Volume = 2;
  trade.Price = 49;
  client_->OnRspQryTrade(&trade, nullptr, 83, true);
  EXPECT_EQ(order->record.TradedVolume, 2);
  EXPECT_DOUBLE_EQ(order->record.LastTradedPrice, 49);
  EXPECT_EQ(order->record.OrderStatus, '3');
}

TEST_F(ReconnectWiringTest, AccountIdIsFilledWhileHostThreadsSendTransfers) {
  static qv::CtpTraderClient* bare = keptClient(1, "tr2", "");
  ASSERT_TRUE(waitFor([&] { return bare->sessionState() == qv::kStateConnected; }));
  // Only the requests matter; their answers stay with the stand-in.
  qvsim_hold_answers("ReqTradingAccountPasswordUpdate", -1);
  std::thread host([&] {
    for (int i = 0; i < 400; ++i) {
      bare->transferCash('0', 1, "pw", "1", "");
      bare->updatePassword('1', "old", "new");
    }
  });
  CThostFtdcTradingAccountField account{};
  qv::copyText(account.AccountID, "acct9");
  account.Available = 10;
  bare->exchangeSessionState(qv::kStateReady);
  bare->OnRspQryTradingAccount(&account, nullptr, 90, true);
  host.join();
  bare->transferCash('0', 1, "pw", "1", "");

  std::set<std::string> seen;
  std::string last;
  for (int i = 0; i < qvsim_request_count(); ++i) {
    char api = 0;
    char name[64] = {};
    int requestId = 0;
    int result = 0;
    CThostFtdcReqTransferField request{};
    qvsim_request_at(i, &api, name, sizeof name, &requestId, &result, &request, sizeof request);
    if (std::strcmp(name, "ReqFromBankToFutureByFuture") != 0) continue;
    char accountId[sizeof request.AccountID + 1] = {};
    std::memcpy(accountId, request.AccountID, sizeof request.AccountID);
    seen.insert(accountId);
    last = accountId;
  }
  EXPECT_EQ(last, "acct9");
  for (const std::string& id : seen) EXPECT_TRUE(id.empty() || id == "acct9") << id;
}

}  // namespace
}  // namespace qv_test

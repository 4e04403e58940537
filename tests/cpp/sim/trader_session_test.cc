// The session chain of the simulated trading front: connect, authenticate, log in, confirm, and
// the start-up queries, with the broker's refusals and their GB2312 messages.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <set>

#include "sim_fixture.h"

namespace qvsim_test {
namespace {

// "CTP:不合法的登录" in GB2312, as the real front sends it.
const std::string kInvalidLoginGb2312 = "\x43\x54\x50\x3a\xb2\xbb\xba\xcf\xb7\xa8\xb5\xc4\xb5\xc7\xc2\xbc";

TEST_F(TraderTest, LoginAnswersSessionIdentityAndTradingDay) {
  ASSERT_EQ(authenticate("u1").errorId, 0);
  const Event e = login("u1", "pw1");
  ASSERT_EQ(e.errorId, 0);
  const auto rsp = e.as<CThostFtdcRspUserLoginField>();
  EXPECT_EQ(text(rsp.TradingDay), "20260108");
  EXPECT_EQ(text(rsp.UserID), "u1");
  EXPECT_EQ(rsp.FrontID, 1);
  EXPECT_NE(rsp.SessionID, 0);
  EXPECT_EQ(text(rsp.MaxOrderRef), "7") << "the scenario's order of the day used ref 7";
  EXPECT_STREQ(api->GetTradingDay(), "20260108");
}

TEST_F(TraderTest, LoginRefusals) {
  // Without authentication the front refuses the login.
  EXPECT_NE(login("u1", "pw1").errorId, 0);

  // A wrong app id or auth code fails authentication.
  EXPECT_NE(authenticate("u1", "other_app").errorId, 0);
  EXPECT_NE(authenticate("u1", "simnow_client_test", "1111111111111111").errorId, 0);

  // A wrong password answers error 3 with the front's GB2312 text.
  ASSERT_EQ(authenticate("u1").errorId, 0);
  const Event wrong = login("u1", "nope");
  EXPECT_EQ(wrong.errorId, 3);
  EXPECT_EQ(wrong.errorMsg, kInvalidLoginGb2312);
  EXPECT_EQ(login("u1", "pw1").errorId, 0);
}

TEST_F(TraderTest, FirstLoginOfAnUnknownUserFixesItsPasswordAndOpensAMillion) {
  ASSERT_EQ(authenticate("newcomer").errorId, 0);
  ASSERT_EQ(login("newcomer", "secret").errorId, 0);
  ASSERT_EQ(login("newcomer", "other").errorId, 3);
  ASSERT_EQ(confirm("newcomer").errorId, 0);
  CThostFtdcQryTradingAccountField q{};
  ASSERT_EQ(api->ReqQryTradingAccount(&q, 50), 0);
  const auto account = waitAnswer("OnRspQryTradingAccount", 50).as<CThostFtdcTradingAccountField>();
  EXPECT_DOUBLE_EQ(account.Balance, 1000000.0);
  EXPECT_DOUBLE_EQ(account.Available, 1000000.0);
  EXPECT_EQ(text(account.AccountID), "newcomer");
}

TEST_F(TraderTest, StartUpQueriesAnswerOneResponsePerRecordWithTheLastMarked) {
  ready();
  CThostFtdcQryInstrumentField qi{};
  ASSERT_EQ(api->ReqQryInstrument(&qi, 11), 0);
  const auto instruments = answers("OnRspQryInstrument", 11);
  ASSERT_EQ(instruments.size(), 5u);
  std::set<std::string> exchanges;
  for (size_t i = 0; i < instruments.size(); ++i) {
    EXPECT_EQ(instruments[i].isLast, i + 1 == instruments.size());
    exchanges.insert(text(instruments[i].as<CThostFtdcInstrumentField>().ExchangeID));
  }
  EXPECT_EQ(exchanges, (std::set<std::string>{"SHFE", "INE", "DCE", "CZCE", "CFFEX"}));

  CThostFtdcQryOrderField qo{};
  ASSERT_EQ(api->ReqQryOrder(&qo, 12), 0);
  const auto orders = answers("OnRspQryOrder", 12);
  ASSERT_EQ(orders.size(), 1u);
  const auto o = orders[0].as<CThostFtdcOrderField>();
  EXPECT_EQ(text(o.OrderRef), "7");
  EXPECT_EQ(o.OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  EXPECT_EQ(o.VolumeTotal, 2);

  CThostFtdcQryTradeField qt{};
  ASSERT_EQ(api->ReqQryTrade(&qt, 13), 0);
  ASSERT_EQ(answers("OnRspQryTrade", 13).size(), 1u);

  // SHFE keeps today's and yesterday's positions apart; DCE reports one record.
  CThostFtdcQryInvestorPositionField qp{};
  ASSERT_EQ(api->ReqQryInvestorPosition(&qp, 14), 0);
  int rbToday = 0, rbYesterday = 0, mTotal = 0;
  for (const Event& e : answers("OnRspQryInvestorPosition", 14)) {
    const auto p = e.as<CThostFtdcInvestorPositionField>();
    if (text(p.InstrumentID) == "rb2605") {
      (p.PositionDate == THOST_FTDC_PSD_Today ? rbToday : rbYesterday) += p.Position;
      EXPECT_EQ(p.PosiDirection, THOST_FTDC_PD_Long);
    } else {
      mTotal += p.Position;
      EXPECT_EQ(p.PosiDirection, THOST_FTDC_PD_Short);
    }
  }
  EXPECT_EQ(rbToday, 2);
  EXPECT_EQ(rbYesterday, 3);
  EXPECT_EQ(mTotal, 5);

  // Funds: balance less the positions' margin and the working order's frozen margin.
  CThostFtdcQryTradingAccountField qa{};
  ASSERT_EQ(api->ReqQryTradingAccount(&qa, 15), 0);
  const auto a = waitAnswer("OnRspQryTradingAccount", 15).as<CThostFtdcTradingAccountField>();
  const double margin = 3500.0 * 5 * 10 * 0.1 + 3000.0 * 5 * 10 * 0.1;
  const double frozen = 2990.0 * 2 * 10 * 0.1;
  EXPECT_DOUBLE_EQ(a.Balance, 500000.0);
  EXPECT_DOUBLE_EQ(a.CurrMargin, margin);
  EXPECT_DOUBLE_EQ(a.FrozenMargin, frozen);
  EXPECT_DOUBLE_EQ(a.Available, 500000.0 - margin - frozen);
}

TEST_F(TraderTest, QueriesWithNoMatchAnswerOneEmptyLastResponse) {
  ready();
  CThostFtdcQryInstrumentField qi{};
  put(qi.InstrumentID, "zz9999");
  ASSERT_EQ(api->ReqQryInstrument(&qi, 21), 0);
  const auto none = answers("OnRspQryInstrument", 21);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].record.empty());
  EXPECT_TRUE(none[0].isLast);

  CThostFtdcQryExchangeRateField qx{};
  ASSERT_EQ(api->ReqQryExchangeRate(&qx, 22), 0);
  const auto empty = answers("OnRspQryExchangeRate", 22);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(empty[0].record.empty());

  // A filter on instrument and exchange picks that one instrument.
  put(qi.InstrumentID, "IF2601");
  put(qi.ExchangeID, "CFFEX");
  ASSERT_EQ(api->ReqQryInstrument(&qi, 23), 0);
  const auto one = answers("OnRspQryInstrument", 23);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].as<CThostFtdcInstrumentField>().VolumeMultiple, 300);
}

// The requests the simulated broker keeps no answer of its own for answer by their kind: a query
// one empty response, anything else error 27 with the request echoed, each through the callback
// that answers it (the captcha and text logins through OnRspUserLogin).
TEST_F(TraderTest, RequestsWithoutAnAnswerOfTheirOwnAnswerByTheirKind) {
  ready();
  CThostFtdcQryNoticeField notice{};
  ASSERT_EQ(api->ReqQryNotice(&notice, 31), 0);
  const auto none = answers("OnRspQryNotice", 31);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].record.empty());
  EXPECT_EQ(none[0].errorId, 0);
  EXPECT_TRUE(none[0].isLast);

  CThostFtdcParkedOrderField parked{};
  put(parked.InstrumentID, "rb2605");
  ASSERT_EQ(api->ReqParkedOrderInsert(&parked, 32), 0);
  const Event refused = waitAnswer("OnRspParkedOrderInsert", 32);
  EXPECT_EQ(refused.errorId, 27);
  EXPECT_EQ(text(refused.as<CThostFtdcParkedOrderField>().InstrumentID), "rb2605");

  CThostFtdcReqUserLoginWithCaptchaField captcha{};
  ASSERT_EQ(api->ReqUserLoginWithCaptcha(&captcha, 33), 0);
  const Event login = waitAnswer("OnRspUserLogin", 33);
  EXPECT_EQ(login.errorId, 27);
  EXPECT_TRUE(login.record.empty());
}

TEST_F(TraderTest, QueriesBeforeLoginAreRefused) {
  CThostFtdcQryOrderField qo{};
  ASSERT_EQ(api->ReqQryOrder(&qo, 31), 0);
  EXPECT_EQ(waitAnswer("OnRspQryOrder", 31).errorId, 6);
}

TEST_F(TraderTest, EveryCallbackOfOneObjectArrivesOnOneThreadInRequestOrder) {
  ready();
  for (int id = 100; id < 140; ++id) {
    CThostFtdcQryTradingAccountField qa{};
    ASSERT_EQ(api->ReqQryTradingAccount(&qa, id), 0);
  }
  waitAnswer("OnRspQryTradingAccount", 139);
  const auto events = spi.recorder.all();
  std::set<std::thread::id> threads;
  int last = 99;
  for (const Event& e : events) {
    threads.insert(e.thread);
    if (e.name == "OnRspQryTradingAccount") {
      EXPECT_EQ(e.requestId, last + 1);
      last = e.requestId;
    }
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST_F(TraderTest, PasswordUpdateChecksTheOldPassword) {
  ready();
  CThostFtdcUserPasswordUpdateField req{};
  put(req.BrokerID, "9999");
  put(req.UserID, "u1");
  put(req.OldPassword, "wrong");
  put(req.NewPassword, "pw2");
  ASSERT_EQ(api->ReqUserPasswordUpdate(&req, 41), 0);
  EXPECT_EQ(waitAnswer("OnRspUserPasswordUpdate", 41).errorId, 14);
  put(req.OldPassword, "pw1");
  ASSERT_EQ(api->ReqUserPasswordUpdate(&req, 42), 0);
  EXPECT_EQ(waitAnswer("OnRspUserPasswordUpdate", 42).errorId, 0);
  ASSERT_EQ(authenticate("u1").errorId, 0);
  EXPECT_EQ(login("u1", "pw1").errorId, 3);
  EXPECT_EQ(login("u1", "pw2").errorId, 0);
}

TEST_F(TraderTest, BankTransfersMoveFundsBetweenBankAndAccount) {
  ready();
  CThostFtdcReqTransferField t{};
  put(t.TradeCode, "202001");
  put(t.BankID, "1");
  put(t.BrokerID, "9999");
  put(t.AccountID, "u1");
  put(t.Password, "pw1");
  put(t.CurrencyID, "CNY");
  t.TradeAmount = 50000.0;
  t.RequestID = 61;
  ASSERT_EQ(api->ReqFromBankToFutureByFuture(&t, 61), 0);
  const auto in = spi.recorder.waitFor("OnRtnFromBankToFutureByFuture").as<CThostFtdcRspTransferField>();
  EXPECT_EQ(in.RequestID, 61);
  EXPECT_EQ(in.TransferStatus, THOST_FTDC_TRFS_Normal);
  EXPECT_GT(in.FutureSerial, 0);

  // More than the bank holds is refused, with both the response and the error return.
  t.TradeAmount = 1e9;
  ASSERT_EQ(api->ReqFromBankToFutureByFuture(&t, 62), 0);
  EXPECT_NE(waitAnswer("OnRspFromBankToFutureByFuture", 62).errorId, 0);
  EXPECT_NE(spi.recorder.waitFor("OnErrRtnBankToFutureByFuture").errorId, 0);

  CThostFtdcReqQueryAccountField q{};
  put(q.BrokerID, "9999");
  put(q.Password, "pw1");
  ASSERT_EQ(api->ReqQueryBankAccountMoneyByFuture(&q, 63), 0);
  const auto balance = spi.recorder.waitFor("OnRtnQueryBankBalanceByFuture").as<CThostFtdcNotifyQueryAccountField>();
  EXPECT_DOUBLE_EQ(balance.BankUseAmount, 150000.0);

  CThostFtdcQryTradingAccountField qa{};
  ASSERT_EQ(api->ReqQryTradingAccount(&qa, 64), 0);
  EXPECT_DOUBLE_EQ(waitAnswer("OnRspQryTradingAccount", 64).as<CThostFtdcTradingAccountField>().Deposit, 50000.0);
}

TEST(SimLinkage, EntryPointsLiveInTheVendorNamedLibraries) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&CThostFtdcTraderApi::CreateFtdcTraderApi), &info), 0);
  EXPECT_NE(std::string(info.dli_fname).find("libthosttraderapi_se.so"), std::string::npos);
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&CThostFtdcMdApi::CreateFtdcMdApi), &info), 0);
  EXPECT_NE(std::string(info.dli_fname).find("libthostmduserapi_se.so"), std::string::npos);
  EXPECT_NE(std::string(CThostFtdcTraderApi::GetApiVersion()).find("6.3.15"), std::string::npos);
}

}  // namespace
}  // namespace qvsim_test

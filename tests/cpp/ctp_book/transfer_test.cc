// Bank transfers of a CtpTraderClient: the request transferCash builds, the record's status and
// serial after each kind of return, which returns move usable cash, and event 11011.
#include <gtest/gtest.h>

#include <cstring>

#include "base/text.h"
#include "client_fixture.h"
#include "qvsim.h"

namespace qv_test {
namespace {

constexpr int32_t kEventTransfer = 11011;

class TransferTest : public CtpClientTest {
 protected:
  // The last request named `name` that the stand-in received, as a transfer request.
  static bool lastTransferRequest(const char* name, CThostFtdcReqTransferField& out,
                                  int& requestId) {
    for (int i = qvsim_request_count() - 1; i >= 0; --i) {
      char api = 0;
      char found[64] = {};
      int result = 0;
      qvsim_request_at(i, &api, found, sizeof found, &requestId, &result, &out, sizeof out);
      if (std::strcmp(found, name) == 0) return true;
    }
    return false;
  }

  static std::vector<Response> transferEvents() { return responses(kEventTransfer); }

  static CThostFtdcRspTransferField transferReturn(int32_t requestId, char ctpStatus,
                                                   double amount, int32_t errorId = 0,
                                                   const char* text = "") {
    CThostFtdcRspTransferField r{};
    r.RequestID = requestId;
    r.TransferStatus = ctpStatus;
    r.TradeAmount = amount;
    r.ErrorID = errorId;
    r.FutureSerial = 4242;
    qv::copyText(r.Message, text);
    return r;
  }
};

TEST_F(TransferTest, BankToFutureRequestAndConfirmation) {
  qv::TransferHolder* holder = client_->transferCash('0', 500, "fpw", "1", "bpw");
  ASSERT_NE(holder, nullptr);
  const CQVTransferAssetField& record = holder->record;
  EXPECT_EQ(record.TransferDirection, '0');
  EXPECT_EQ(record.TransferStatus, 0);
  EXPECT_DOUBLE_EQ(record.Amount, 500);
  EXPECT_STREQ(record.BankID, "1");
  EXPECT_EQ(record.ErrorID, 0);
  EXPECT_EQ(client_->findTransfer(record.TransferID), holder);

  CThostFtdcReqTransferField request{};
  int requestId = 0;
  ASSERT_TRUE(lastTransferRequest("ReqFromBankToFutureByFuture", request, requestId));
  EXPECT_EQ(requestId, record.TransferID);
  EXPECT_EQ(request.RequestID, record.TransferID);
  EXPECT_STREQ(request.TradeCode, "202001");
  EXPECT_STREQ(request.BankBranchID, "0000");
  EXPECT_STREQ(request.BrokerID, "9999");
  EXPECT_STREQ(request.AccountID, "acct1");
  EXPECT_STREQ(request.Password, "fpw");
  EXPECT_STREQ(request.BankPassWord, "bpw");
  EXPECT_STREQ(request.UserID, "tr1");
  EXPECT_STREQ(request.CurrencyID, "CNY");
  EXPECT_EQ(request.VerifyCertNoFlag, '1');
  EXPECT_EQ(request.BankPwdFlag, '0');
  EXPECT_EQ(request.SecuPwdFlag, '1');
  EXPECT_DOUBLE_EQ(request.TradeAmount, 500);

  auto confirmation = transferReturn(record.TransferID, '0', 500);
  client_->OnRtnFromBankToFutureByFuture(&confirmation);
  EXPECT_EQ(record.TransferStatus, '1');
  EXPECT_STREQ(record.BusinessID, "4242");
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1500);
  auto events = transferEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record, &record);
  EXPECT_EQ(events[0].errorId, 0);
  EXPECT_TRUE(events[0].isLast);
}

TEST_F(TransferTest, FutureToBankConfirmationSubtractsAndAFailedReturnKeepsTheCash) {
  qv::TransferHolder* out = client_->transferCash('a', 300, "fpw", "1", "bpw");
  CThostFtdcReqTransferField request{};
  int requestId = 0;
  ASSERT_TRUE(lastTransferRequest("ReqFromFutureToBankByFuture", request, requestId));
  EXPECT_STREQ(request.TradeCode, "202002");
  auto confirmation = transferReturn(out->record.TransferID, '0', 300);
  client_->OnRtnFromFutureToBankByFuture(&confirmation);
  EXPECT_EQ(out->record.TransferStatus, '1');
  EXPECT_DOUBLE_EQ(client_->usableCash(), 700);

  qv::TransferHolder* failed = client_->transferCash('0', 200, "fpw", "1", "bpw");
  auto refusal = transferReturn(failed->record.TransferID, '0', 200, 17, "bank closed");
  client_->OnRtnFromBankToFutureByFuture(&refusal);
  EXPECT_EQ(failed->record.TransferStatus, '2');
  EXPECT_EQ(failed->record.ErrorID, 17);
  EXPECT_STREQ(failed->record.Message, "bank closed");
  EXPECT_DOUBLE_EQ(client_->usableCash(), 700);
  auto events = transferEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].errorId, 17);
  EXPECT_EQ(events[1].message, "bank closed");
}

TEST_F(TransferTest, ReversalsSetTheirStatusAndUndoTheCash) {
  qv::TransferHolder* holder = client_->transferCash('0', 400, "fpw", "1", "bpw");
  auto confirmation = transferReturn(holder->record.TransferID, '0', 400);
  client_->OnRtnFromBankToFutureByFuture(&confirmation);
  CThostFtdcRspRepealField repeal{};
  repeal.RequestID = holder->record.TransferID;
  repeal.TransferStatus = '1';
  repeal.TradeAmount = 400;
  repeal.FutureSerial = 77;
  client_->OnRtnRepealFromBankToFutureByFuture(&repeal);
  EXPECT_EQ(holder->record.TransferStatus, '3');
  EXPECT_STREQ(holder->record.BusinessID, "77");
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1000);

  repeal.TransferStatus = '0';  // not reversed
  client_->OnRtnRepealFromBankToFutureByFuture(&repeal);
  EXPECT_EQ(holder->record.TransferStatus, '4');
}

TEST_F(TransferTest, ErrorAnswersChangeOnlyTheErrorOfTheirRecord) {
  qv::TransferHolder* holder = client_->transferCash('a', 100, "fpw", "1", "bpw");
  CThostFtdcReqTransferField request{};
  request.RequestID = holder->record.TransferID;
  CThostFtdcRspInfoField info{};
  client_->OnRspFromFutureToBankByFuture(&request, &info, 0, true);  // error 0: nothing
  client_->OnRspFromFutureToBankByFuture(&request, nullptr, 0, true);
  EXPECT_TRUE(transferEvents().empty());
  info.ErrorID = 90;
  qv::copyText(info.ErrorMsg, "wrong password");
  client_->OnRspFromFutureToBankByFuture(&request, &info, 0, false);
  client_->OnErrRtnFutureToBankByFuture(&request, &info);
  EXPECT_EQ(holder->record.ErrorID, 90);
  EXPECT_STREQ(holder->record.Message, "wrong password");
  EXPECT_EQ(holder->record.TransferStatus, 0);
  auto events = transferEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].isLast);
  EXPECT_TRUE(events[1].isLast);
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1000);
}

TEST_F(TransferTest, TransfersNotRequestedHereMoveCashSilently) {
  auto deposit = transferReturn(0, '0', 250);
  client_->OnRtnFromBankToFutureByBank(&deposit);
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1250);
  auto withdrawal = transferReturn(0, '0', 50);
  client_->OnRtnFromFutureToBankByBank(&withdrawal);
  CThostFtdcRspRepealField manual{};
  manual.TradeAmount = 100;
  client_->OnRtnRepealFromBankToFutureByFutureManual(&manual);
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1100);
  auto failedDeposit = transferReturn(0, '0', 999, 5);
  client_->OnRtnFromBankToFutureByBank(&failedDeposit);
  // A result of a transfer unknown here moves the cash when it carries no error.
  auto unknown = transferReturn(987654, '0', 10);
  client_->OnRtnFromBankToFutureByFuture(&unknown);
  EXPECT_DOUBLE_EQ(client_->usableCash(), 1110);
  client_->OnRtnFromBankToFutureByBank(nullptr);
  EXPECT_TRUE(transferEvents().empty());
}

TEST_F(TransferTest, UnsupportedDirectionAndRefusedRequest) {
  qv::TransferHolder* unsupported = client_->transferCash('b', 100, "fpw", "1", "bpw");
  EXPECT_EQ(unsupported->record.ErrorID, -1000100);
  EXPECT_STREQ(unsupported->record.Message, "Error:Unsupported.");
  EXPECT_EQ(unsupported->record.TransferStatus, 0);
  EXPECT_EQ(qvsim_request_count(), 0);

  qvsim_refuse_requests("ReqFromFutureToBankByFuture", -2, 1);
  qv::TransferHolder* refused = client_->transferCash('a', 100, "fpw", "1", "bpw");
  EXPECT_EQ(refused->record.ErrorID, -2);
  EXPECT_STREQ(refused->record.Message, "Error:Fail To Sended.");
  // A bank id longer than the record's field is cut, not overflowed.
  qv::TransferHolder* longBank = client_->transferCash('0', 1, "fpw", "123456789", "bpw");
  EXPECT_STREQ(longBank->record.BankID, "123");
}

}  // namespace
}  // namespace qv_test

// Bank transfers: transferCash builds and sends the CTP transfer request and hands the host a
// record that the library's returns then complete (status, serial, error) while usable cash
// follows the money moved. Requests go out on the host's thread; returns arrive on the library's
// callback thread. The holder's lock is held while a result or an error is written and while
// event 11011 reports it.
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "bridge/event_messages.h"
#include "ctp/ctp_trader_client.h"
#include "ctp/rsp_error.h"
#include "trading/error_codes.h"

namespace qv {
namespace {

constexpr int32_t kEventTransfer = 11011;
constexpr char kDirectionBankToFuture = '0';
constexpr char kDirectionFutureToBank = 'a';
constexpr char kTradeCodeBankToFuture[] = "202001";
constexpr char kTradeCodeFutureToBank[] = "202002";
constexpr char kStatusDone = '1';
constexpr char kStatusFailed = '2';
constexpr char kStatusReversed = '3';
constexpr char kStatusReversalFailed = '4';
// CTP transfer statuses.
constexpr char kCtpTransferNormal = '0';
constexpr char kCtpTransferRepealed = '1';

char transferStatus(int32_t errorId, char ctpStatus) {
  return errorId == 0 && ctpStatus == kCtpTransferNormal ? kStatusDone : kStatusFailed;
}

char reversalStatus(int32_t errorId, char ctpStatus) {
  return errorId == 0 && ctpStatus == kCtpTransferRepealed ? kStatusReversed
                                                             : kStatusReversalFailed;
}

// A bounded, terminated copy of a fixed-width text of a CTP record.
template <size_t N>
struct RecordText {
  char text[N + 1];
  explicit RecordText(const char (&source)[N]) {
    size_t n = 0;
    while (n < N && source[n] != '\0') ++n;
    std::memcpy(text, source, n);
    text[n] = '\0';
  }
};

}  // namespace

TransferHolder* CtpTraderClient::transferCash(char direction, double amount,
                                              const char* accountPassword, const char* bankId,
                                              const char* bankPassword) {
  auto* holder = new TransferHolder{};
  CQVTransferAssetField& record = holder->record;
  const int32_t transferId = requestCounter_.fetch_add(1, std::memory_order_relaxed) + 1;
  {
    WriteGuard guard(holder->lock);
    record.TransferID = transferId;
    record.TransferDirection = direction;
    record.Amount = amount;
    copyText(record.BankID, bankId);
    record.FrontID = frontId_.load(std::memory_order_relaxed);
    record.SessionID = sessionId_.load(std::memory_order_relaxed);
  }
  {
    SpinFlagGuard guard(transfersFlag_);
    transfers_.emplace(transferId, holder);
  }

  if (direction != kDirectionBankToFuture && direction != kDirectionFutureToBank) {
    WriteGuard guard(holder->lock);
    record.ErrorID = kErrUnsupported;
    copyText(record.Message, "Error:Unsupported.");
    return holder;
  }

  const CQVLoginField& config = login();
  CThostFtdcReqTransferField request{};
  copyText(request.TradeCode, direction == kDirectionBankToFuture ? kTradeCodeBankToFuture
                                                                  : kTradeCodeFutureToBank);
  copyText(request.BankID, bankId);
  copyText(request.BankBranchID, "0000");
  copyText(request.BrokerID, config.BrokerID);
  copyText(request.BankPassWord, bankPassword);
  char accountId[sizeof config.AccountID];
  copyAccountId(accountId);
  copyText(request.AccountID, accountId);
  copyText(request.Password, accountPassword);
  copyText(request.UserID, config.UserID);
  request.VerifyCertNoFlag = '1';
  copyText(request.CurrencyID, "CNY");
  request.BankPwdFlag = '0';
  request.SecuPwdFlag = '1';
  request.TradeAmount = amount;
  request.RequestID = transferId;
  int result = -1;
  if (api_ != nullptr) {
    result = direction == kDirectionBankToFuture
                 ? api_->ReqFromBankToFutureByFuture(&request, transferId)
                 : api_->ReqFromFutureToBankByFuture(&request, transferId);
  }
  if (result != 0) {
    WriteGuard guard(holder->lock);
    record.ErrorID = result;
    copyText(record.Message, kFailToSendMessage);
  }
  return holder;
}

TransferHolder* CtpTraderClient::findTransfer(int32_t transferId) const {
  SpinFlagGuard guard(transfersFlag_);
  auto it = transfers_.find(transferId);
  return it == transfers_.end() ? nullptr : it->second;
}

void CtpTraderClient::transferResult(int32_t requestId, char status, double amount,
                                     int32_t errorId, const char* text, int32_t serial) {
  TransferHolder* holder = findTransfer(requestId);
  if (holder == nullptr) {
    if (errorId == 0) addUsableCash(amount);
    return;
  }
  int32_t reportedError = 0;
  char reportedText[sizeof(CQVTransferAssetField::Message)];
  {
    WriteGuard guard(holder->lock);
    CQVTransferAssetField& record = holder->record;
    if (errorId != 0) {
      record.ErrorID = errorId;
      copyText(record.Message, text);
    } else {
      addUsableCash(amount);
    }
    record.TransferStatus = status;
    std::snprintf(record.BusinessID, sizeof record.BusinessID, "%d", serial);
    reportedError = record.ErrorID;
    copyText(reportedText, record.Message);
  }
  // Raised once the holder's lock is released, as every event is: the callable may read the
  // record and call any export. Only this thread writes a transfer's results.
  raiseResponse(kEventTransfer, &holder->record, true, reportedError, reportedText);
}

void CtpTraderClient::transferError(int32_t requestId, const CThostFtdcRspInfoField* info,
                                    bool isLast) {
  RspError error(info);
  if (!error.failed()) return;
  TransferHolder* holder = findTransfer(requestId);
  if (holder == nullptr) return;
  {
    WriteGuard guard(holder->lock);
    holder->record.ErrorID = error.id;
    copyText(holder->record.Message, error.message);
  }
  raiseResponse(kEventTransfer, &holder->record, isLast, error.id, error.message);
}

// Returns of transfers this client requested.
void CtpTraderClient::OnRtnFromBankToFutureByFuture(CThostFtdcRspTransferField* r) {
  if (r == nullptr) return;
  transferResult(r->RequestID, transferStatus(r->ErrorID, r->TransferStatus), r->TradeAmount,
                 r->ErrorID, RecordText(r->Message).text, r->FutureSerial);
}

void CtpTraderClient::OnRtnFromFutureToBankByFuture(CThostFtdcRspTransferField* r) {
  if (r == nullptr) return;
  transferResult(r->RequestID, transferStatus(r->ErrorID, r->TransferStatus), -r->TradeAmount,
                 r->ErrorID, RecordText(r->Message).text, r->FutureSerial);
}

void CtpTraderClient::OnRtnRepealFromBankToFutureByFuture(CThostFtdcRspRepealField* r) {
  if (r == nullptr) return;
  transferResult(r->RequestID, reversalStatus(r->ErrorID, r->TransferStatus), -r->TradeAmount,
                 r->ErrorID, RecordText(r->ErrorMsg).text, r->FutureSerial);
}

void CtpTraderClient::OnRtnRepealFromFutureToBankByFuture(CThostFtdcRspRepealField* r) {
  if (r == nullptr) return;
  transferResult(r->RequestID, reversalStatus(r->ErrorID, r->TransferStatus), r->TradeAmount,
                 r->ErrorID, RecordText(r->Message).text, r->FutureSerial);
}

void CtpTraderClient::OnRspFromBankToFutureByFuture(CThostFtdcReqTransferField* r,
                                                    CThostFtdcRspInfoField* info, int,
                                                    bool isLast) {
  if (r != nullptr) transferError(r->RequestID, info, isLast);
}

void CtpTraderClient::OnRspFromFutureToBankByFuture(CThostFtdcReqTransferField* r,
                                                    CThostFtdcRspInfoField* info, int,
                                                    bool isLast) {
  if (r != nullptr) transferError(r->RequestID, info, isLast);
}

void CtpTraderClient::OnErrRtnBankToFutureByFuture(CThostFtdcReqTransferField* r,
                                                   CThostFtdcRspInfoField* info) {
  if (r != nullptr) transferError(r->RequestID, info, true);
}

void CtpTraderClient::OnErrRtnFutureToBankByFuture(CThostFtdcReqTransferField* r,
                                                   CThostFtdcRspInfoField* info) {
  if (r != nullptr) transferError(r->RequestID, info, true);
}

// Transfers made at the bank and manual reversals: cash only, no record, no event.
void CtpTraderClient::OnRtnFromBankToFutureByBank(CThostFtdcRspTransferField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(r->TradeAmount);
}

void CtpTraderClient::OnRtnFromFutureToBankByBank(CThostFtdcRspTransferField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(-r->TradeAmount);
}

void CtpTraderClient::OnRtnRepealFromBankToFutureByBank(CThostFtdcRspRepealField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(-r->TradeAmount);
}

void CtpTraderClient::OnRtnRepealFromBankToFutureByFutureManual(CThostFtdcRspRepealField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(-r->TradeAmount);
}

void CtpTraderClient::OnRtnRepealFromFutureToBankByBank(CThostFtdcRspRepealField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(r->TradeAmount);
}

void CtpTraderClient::OnRtnRepealFromFutureToBankByFutureManual(CThostFtdcRspRepealField* r) {
  if (r != nullptr && r->ErrorID == 0) addUsableCash(r->TradeAmount);
}

}  // namespace qv

// CtpTraderClient's start-up loads: the answers of the instrument, order, trade, position and
// account queries, handed to the order engine on the trader library's callback thread.
#include "bridge/event_text.h"
#include "ctp/ctp_trader_client.h"
#include "ctp/rsp_error.h"
#include "trading/instrument_table.h"
#include "trading/order_report_fields.h"

namespace qv {
namespace {

constexpr int32_t kEventReady = 10002;
constexpr int32_t kTaskQryOrder = 11202;
constexpr int32_t kTaskQryTrade = 11204;
constexpr int32_t kTaskQryPosition = 11205;
constexpr int32_t kTaskQryTradingAccount = 11207;
constexpr int32_t kTaskBankBalance = 11208;
constexpr int32_t kTaskAccountToken = 11304;
constexpr int32_t kTaskQryInstrument = 11402;

}  // namespace

void CtpTraderClient::OnRspQryInstrument(CThostFtdcInstrumentField* record,
                                         CThostFtdcRspInfoField* info, int requestId,
                                         bool isLast) {
  // Instruments are entered only while the session loads (state '3'), before it reports ready.
  if (record != nullptr && !RspError(info).failed() && sessionState() == kStateConnected) {
    enterInstrument(*record);
  }
  respond(kTaskQryInstrument, record, info, requestId, isLast, true);
}

void CtpTraderClient::OnRspQryOrder(CThostFtdcOrderField* record, CThostFtdcRspInfoField* info,
                                    int requestId, bool isLast) {
  const bool loading = !RspError(info).failed() && sessionState() == kStateConnected;
  if (record != nullptr && loading) restoreOrder(*record);
  if (isLast && loading) finishOrderQuery();
  respond(kTaskQryOrder, record, info, requestId, isLast, true);
}

void CtpTraderClient::OnRspQryTrade(CThostFtdcTradeField* record, CThostFtdcRspInfoField* info,
                                    int requestId, bool isLast) {
  const bool loading = !RspError(info).failed() && sessionState() == kStateConnected;
  if (record != nullptr && loading) restoreTrade(*record);
  // Orders that moved while the front was down catch up once their trades are in.
  if (isLast && loading) finishOrderRestore();
  respond(kTaskQryTrade, record, info, requestId, isLast, true);
}

void CtpTraderClient::OnRspQryInvestorPosition(CThostFtdcInvestorPositionField* record,
                                               CThostFtdcRspInfoField* info, int requestId,
                                               bool isLast) {
  if (!RspError(info).failed()) {
    // Each query is a round of its own: its records replace what an earlier round loaded, and its
    // last answer (an empty one when nothing is held) zeroes the sides it did not report.
    startPositionRound(requestId);
    if (record != nullptr) loadPosition(*record);
    if (isLast) finishPositionRound(requestId);
  }
  respond(kTaskQryPosition, record, info, requestId, isLast, true);
}

void CtpTraderClient::OnRspQryTradingAccount(CThostFtdcTradingAccountField* record,
                                             CThostFtdcRspInfoField* info, int requestId,
                                             bool isLast) {
  RspError error(info);
  if (record != nullptr && !error.failed()) {
    setUsableCash(record->Available);
    char accountId[sizeof record->AccountID + 1];
    copyReportText(accountId, record->AccountID);
    noteAccountId(accountId);
  }
  raiseResponse(kTaskQryTradingAccount, record, isLast, error.id, error.message);
  if (isLast && !error.failed() && sessionState() == kStateConnected) {
    exchangeSessionState(kStateReady);
    raiseResponse(kEventReady, nullptr, true, 0, "");
  }
  if (isLast) taskQueue().complete(kTaskQryTradingAccount, requestId, error.id);
}

void CtpTraderClient::noteAccountId(const char* reported) {
  SpinFlagGuard guard(accountFlag_);
  if (login_->AccountID[0] == '\0') copyText(login_->AccountID, reported);
}

void CtpTraderClient::copyAccountId(char (&out)[sizeof(CQVLoginField::AccountID)]) const {
  SpinFlagGuard guard(accountFlag_);
  copyText(out, login_->AccountID);
}

void CtpTraderClient::OnRspQueryCFMMCTradingAccountToken(
    CThostFtdcQueryCFMMCTradingAccountTokenField*, CThostFtdcRspInfoField* info, int requestId,
    bool) {
  // A successful request answers through OnRtnCFMMCTradingAccountToken.
  RspError error(info);
  if (!error.failed()) return;
  raiseResponse(kTaskAccountToken, nullptr, true, error.id, error.message);
  taskQueue().complete(kTaskAccountToken, requestId, error.id);
}

void CtpTraderClient::OnRtnCFMMCTradingAccountToken(CThostFtdcCFMMCTradingAccountTokenField* record) {
  if (record == nullptr) return;
  raiseResponse(kTaskAccountToken, record, true, 0, "");
  // The token carries no request id: it ends whichever token request is outstanding.
  taskQueue().complete(kTaskAccountToken, kAnyRequest, 0);
}

void CtpTraderClient::OnRspQueryBankAccountMoneyByFuture(CThostFtdcReqQueryAccountField*,
                                                         CThostFtdcRspInfoField* info,
                                                         int requestId, bool) {
  // A successful request answers through OnRtnQueryBankBalanceByFuture.
  RspError error(info);
  if (!error.failed()) return;
  raiseResponse(kTaskBankBalance, nullptr, true, error.id, error.message);
  taskQueue().complete(kTaskBankBalance, requestId, error.id);
}

void CtpTraderClient::OnRtnQueryBankBalanceByFuture(CThostFtdcNotifyQueryAccountField* record) {
  if (record == nullptr) return;
  RspError error(record->ErrorID, record->ErrorMsg, sizeof record->ErrorMsg);
  // The record is known to be the balance notice, so its text form may print it.
  bridge::ResponseFallback fallback =
      responseFallback() != nullptr ? bridge::printBankBalanceEvent : nullptr;
  bridge::raiseResponse(responseSlot(), fallback, kTaskBankBalance, record, true, login().UserID,
                        error.id, error.message);
  taskQueue().complete(kTaskBankBalance, record->RequestID, error.id);
}

void CtpTraderClient::OnErrRtnQueryBankBalanceByFuture(CThostFtdcReqQueryAccountField* record,
                                                       CThostFtdcRspInfoField* info) {
  RspError error(info);
  raiseResponse(kTaskBankBalance, record, true, error.id, error.message);
  taskQueue().complete(kTaskBankBalance, record != nullptr ? record->RequestID : kAnyRequest,
                       error.id);
}

}  // namespace qv

// CtpTraderClient's one-off requests from host threads: order actions (slot 2) and password
// updates (slot 22).
#include <cstdio>

#include "base/text.h"
#include "ctp/ctp_trader_client.h"
#include "trading/error_codes.h"

namespace qv {
namespace {

int32_t nextRequestId(std::atomic<int32_t>& counter) {
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

int32_t CtpTraderClient::cancelOrder(const char* exchangeId, const char* instrumentId,
                                     const char* orderSysId, int32_t orderId, int32_t frontId,
                                     int32_t sessionId) {
  if (api_ == nullptr) return -1;
  const CQVLoginField& config = login();
  CThostFtdcInputOrderActionField action{};
  copyText(action.BrokerID, config.BrokerID);
  copyText(action.InvestorID, config.InvestorID);
  std::snprintf(action.OrderRef, sizeof action.OrderRef, "%d", orderId);
  action.FrontID = frontId != 0 ? frontId : frontId_.load(std::memory_order_relaxed);
  action.SessionID = sessionId != 0 ? sessionId : sessionId_.load(std::memory_order_relaxed);
  copyText(action.ExchangeID, exchangeId);
  copyText(action.OrderSysID, orderSysId);
  action.ActionFlag = THOST_FTDC_AF_Delete;
  copyText(action.UserID, config.UserID);
  copyText(action.InstrumentID, instrumentId);
  copyText(action.MacAddress, config.MacAddress);
  copyText(action.IPAddress, config.OuterIPAddress);
  // The request id also names the action inside it, so that a refusal reported twice (response
  // and error return) is known as one.
  const int32_t requestId = nextRequestId(requestCounter_);
  action.RequestID = requestId;
  action.OrderActionRef = requestId;
  return api_->ReqOrderAction(&action, requestId);
}

int32_t CtpTraderClient::updatePassword(char kind, const char* oldPassword,
                                        const char* newPassword) {
  const CQVLoginField& config = login();
  if (kind == '0') {
    if (api_ == nullptr) return -1;
    CThostFtdcUserPasswordUpdateField request{};
    copyText(request.BrokerID, config.BrokerID);
    copyText(request.UserID, config.UserID);
    copyText(request.OldPassword, oldPassword);
    copyText(request.NewPassword, newPassword);
    return api_->ReqUserPasswordUpdate(&request, nextRequestId(requestCounter_));
  }
  if (kind == '1') {
    if (api_ == nullptr) return -1;
    CThostFtdcTradingAccountPasswordUpdateField request{};
    copyText(request.BrokerID, config.BrokerID);
    char accountId[sizeof config.AccountID];
    copyAccountId(accountId);
    copyText(request.AccountID, accountId);
    copyText(request.OldPassword, oldPassword);
    copyText(request.NewPassword, newPassword);
    copyText(request.CurrencyID, "CNY");
    return api_->ReqTradingAccountPasswordUpdate(&request, nextRequestId(requestCounter_));
  }
  return kErrUnsupported;
}

}  // namespace qv

// The order request: one CTP insert request built from an order's record and the login record,
// handed to the trader library on the calling host thread. The request record lives on the stack
// for the duration of the library call, which copies it.
#include <cstdio>

#include "base/text.h"
#include "ctp/ctp_trader_client.h"

namespace qv {
namespace {

constexpr char kHedgeSpeculation = '1';
constexpr char kForceCloseNotForced = '0';

}  // namespace

int32_t CtpTraderClient::sendOrderRequest(OrderHolder& order) {
  CThostFtdcTraderApi* library = api();
  if (library == nullptr) return -1;
  const CQVOrderField& r = order.record;
  const CQVLoginField& account = login();
  CThostFtdcInputOrderField request{};
  copyText(request.BrokerID, account.BrokerID);
  copyText(request.InvestorID, account.InvestorID);
  copyText(request.UserID, account.UserID);
  std::snprintf(request.OrderRef, sizeof request.OrderRef, "%d", r.OrderID);
  request.OrderPriceType = r.OrderPriceType;
  request.Direction = r.Direction;
  request.CombOffsetFlag[0] = r.OffsetFlag;
  request.CombHedgeFlag[0] = kHedgeSpeculation;
  request.LimitPrice = r.OriginalPrice;
  request.VolumeTotalOriginal = r.OriginalVolume;
  request.TimeCondition = r.TimeCondition;
  request.VolumeCondition = r.VolumeCondition;
  request.MinVolume = 1;
  request.ContingentCondition = r.ContingentCondition;
  request.ForceCloseReason = kForceCloseNotForced;
  copyText(request.ExchangeID, r.ExchangeID);
  copyText(request.InstrumentID, r.StandardID);
  copyText(request.MacAddress, account.MacAddress);
  copyText(request.IPAddress, account.OuterIPAddress);
  const int32_t requestId = requestCounter_.fetch_add(1, std::memory_order_relaxed) + 1;
  return library->ReqOrderInsert(&request, requestId);
}

}  // namespace qv

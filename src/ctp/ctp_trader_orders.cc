// The order request: one CTP insert request built from an order's record (read under the order's
// lock, which is released before the library is called) and the login record, handed to the
// trader library on the calling host thread. The request record lives on the stack for the
// duration of the library call, which copies it.
#include <cstdio>

#include "base/reentrant_lock.h"
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
  const CQVLoginField& account = login();
  CThostFtdcInputOrderField request{};
  {
    HolderReadGuard<OrderHolder> guard(&order);
    copyText(request.BrokerID, account.BrokerID);
    copyText(request.InvestorID, account.InvestorID);
    copyText(request.UserID, account.UserID);
    std::snprintf(request.OrderRef, sizeof request.OrderRef, "%d", order.record.OrderID);
    request.OrderPriceType = order.record.OrderPriceType;
    request.Direction = order.record.Direction;
    request.CombOffsetFlag[0] = order.record.OffsetFlag;
    request.CombHedgeFlag[0] = kHedgeSpeculation;
    request.LimitPrice = order.record.OriginalPrice;
    request.VolumeTotalOriginal = order.record.OriginalVolume;
    request.TimeCondition = order.record.TimeCondition;
    request.VolumeCondition = order.record.VolumeCondition;
    request.MinVolume = 1;
    request.ContingentCondition = order.record.ContingentCondition;
    request.ForceCloseReason = kForceCloseNotForced;
    copyText(request.ExchangeID, order.record.ExchangeID);
    copyText(request.InstrumentID, order.record.StandardID);
    copyText(request.MacAddress, account.MacAddress);
    copyText(request.IPAddress, account.OuterIPAddress);
  }
  const int32_t requestId = requestCounter_.fetch_add(1, std::memory_order_relaxed) + 1;
  return library->ReqOrderInsert(&request, requestId);
}

}  // namespace qv

// The cancel-by operations of TraderClient: select working orders and cancel each through slot 2.
// The order-book lock is held for reading during the whole walk, so the callback thread cannot
// add or remove working orders meanwhile (it waits to write). Each order's fields are copied under
// the order's own lock (book lock -> order lock is the allowed order) and the request is sent
// after that lock is released.
#include <cstring>

#include "trading/trader_client.h"

namespace qv {
namespace {

constexpr char kStatusWorking = '3';

// The fields of one order that a cancellation needs, copied under the order's lock.
struct CancelTarget {
  bool working;
  char exchangeId[sizeof CQVOrderField::ExchangeID];
  char instrumentId[sizeof CQVOrderField::StandardID];
  char orderSysId[sizeof CQVOrderField::OrderSysID];
  int32_t orderId;
  int32_t frontId;
  int32_t sessionId;
};

CancelTarget readTarget(OrderHolder& order) {
  CancelTarget target;
  ReadGuard guard(order.lock);
  const CQVOrderField& record = order.record;
  target.working = record.OrderStatus == kStatusWorking;
  std::memcpy(target.exchangeId, record.ExchangeID, sizeof target.exchangeId);
  std::memcpy(target.instrumentId, record.StandardID, sizeof target.instrumentId);
  std::memcpy(target.orderSysId, record.OrderSysID, sizeof target.orderSysId);
  target.exchangeId[sizeof target.exchangeId - 1] = '\0';
  target.instrumentId[sizeof target.instrumentId - 1] = '\0';
  target.orderSysId[sizeof target.orderSysId - 1] = '\0';
  target.orderId = record.OrderID;
  target.frontId = record.FrontID;
  target.sessionId = record.SessionID;
  return target;
}

bool sameText(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

int32_t TraderClient::cancelOrderAll() {
  int32_t sum = 0;
  ReadGuard guard(orderBookLock_);
  for (const auto& entry : workingOrders_) {
    CancelTarget target = readTarget(*entry.second);
    if (!target.working) continue;
    sum += cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                       frontId_.load(std::memory_order_relaxed),
                       sessionId_.load(std::memory_order_relaxed));
  }
  return sum;
}

int32_t TraderClient::cancelOrderByExchangeID(const char* exchangeId) {
  if (exchangeId == nullptr) return 0;
  int32_t sum = 0;
  ReadGuard guard(orderBookLock_);
  for (const auto& entry : workingOrders_) {
    CancelTarget target = readTarget(*entry.second);
    if (!target.working || !sameText(target.exchangeId, exchangeId)) continue;
    sum += cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                       target.frontId, target.sessionId);
  }
  return sum;
}

int32_t TraderClient::cancelOrderByStandardID(const char* instrumentId, const char* exchangeId) {
  if (instrumentId == nullptr) return 0;
  int32_t sum = 0;
  ReadGuard guard(orderBookLock_);
  for (const auto& entry : workingOrders_) {
    CancelTarget target = readTarget(*entry.second);
    if (!target.working || !sameText(target.instrumentId, instrumentId)) continue;
    if (exchangeId != nullptr && !sameText(target.exchangeId, exchangeId)) continue;
    sum += cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                       target.frontId, target.sessionId);
  }
  return sum;
}

int32_t TraderClient::cancelOrderByOrderID(int32_t orderId) {
  ReadGuard guard(orderBookLock_);
  auto it = workingOrders_.find(orderId);
  if (it == workingOrders_.end()) return -1;
  CancelTarget target = readTarget(*it->second);
  if (!target.working) return -1;
  return cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                     target.frontId, target.sessionId);
}

}  // namespace qv

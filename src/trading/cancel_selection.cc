// The cancel-by operations of TraderClient: select working orders and cancel each through slot 2.
// The working orders are listed under the order-book lock held for reading, and the lock is
// released before any order is looked at: no order lock is ever awaited while the book lock is
// held, so a walk can run from inside an order event (whose order and position this thread holds)
// and beside a host thread that books a new order. Each order's fields are then copied under its
// own lock (re-entrant for the thread that already holds it) and re-checked: an order that
// finished after it was listed is skipped. Holders are never freed, so the listed pointers stay
// valid.
#include <cstring>
#include <vector>

#include "base/reentrant_lock.h"
#include "trading/order_codes.h"
#include "trading/trader_client.h"

namespace qv {
namespace {

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
  HolderReadGuard<OrderHolder> guard(&order);
  target.working = order.record.OrderStatus == kStatusWorking;
  std::memcpy(target.exchangeId, order.record.ExchangeID, sizeof target.exchangeId);
  std::memcpy(target.instrumentId, order.record.StandardID, sizeof target.instrumentId);
  std::memcpy(target.orderSysId, order.record.OrderSysID, sizeof target.orderSysId);
  target.exchangeId[sizeof target.exchangeId - 1] = '\0';
  target.instrumentId[sizeof target.instrumentId - 1] = '\0';
  target.orderSysId[sizeof target.orderSysId - 1] = '\0';
  target.orderId = order.record.OrderID;
  target.frontId = order.record.FrontID;
  target.sessionId = order.record.SessionID;
  return target;
}

bool sameText(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

std::vector<OrderHolder*> TraderClient::listWorkingOrders() const {
  std::vector<OrderHolder*> orders;
  ReadGuard guard(orderBookLock_);
  orders.reserve(workingOrders_.size());
  for (const auto& entry : workingOrders_) orders.push_back(entry.second);
  return orders;
}

int32_t TraderClient::cancelOrderAll() {
  int32_t sum = 0;
  for (OrderHolder* order : listWorkingOrders()) {
    CancelTarget target = readTarget(*order);
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
  for (OrderHolder* order : listWorkingOrders()) {
    CancelTarget target = readTarget(*order);
    if (!target.working || !sameText(target.exchangeId, exchangeId)) continue;
    sum += cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                       target.frontId, target.sessionId);
  }
  return sum;
}

int32_t TraderClient::cancelOrderByStandardID(const char* instrumentId, const char* exchangeId) {
  if (instrumentId == nullptr) return 0;
  int32_t sum = 0;
  for (OrderHolder* order : listWorkingOrders()) {
    CancelTarget target = readTarget(*order);
    if (!target.working || !sameText(target.instrumentId, instrumentId)) continue;
    if (exchangeId != nullptr && !sameText(target.exchangeId, exchangeId)) continue;
    sum += cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                       target.frontId, target.sessionId);
  }
  return sum;
}

int32_t TraderClient::cancelOrderByOrderID(int32_t orderId) {
  // The order's own status decides, not the working set: a report that makes an order working
  // raises its event before or while the set is updated.
  OrderHolder* order = findOrder(orderId);
  if (order == nullptr) return -1;
  CancelTarget target = readTarget(*order);
  if (!target.working) return -1;
  return cancelOrder(target.exchangeId, target.instrumentId, target.orderSysId, target.orderId,
                     target.frontId, target.sessionId);
}

}  // namespace qv

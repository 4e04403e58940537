// OrderLock: "locking an order" for the order book. Takes the order holder's write lock, then the
// write lock of its position holder (made first when the order has none yet), and releases them in
// the reverse order. Both locks are re-entrant for the owning thread, so a host callable reached
// from an event raised under an OrderLock may place or cancel orders of the same position.
// Used on the trader library's callback thread; lock order: order holder -> position holder.
#ifndef QV_TRADING_ORDER_LOCK_H
#define QV_TRADING_ORDER_LOCK_H

#include "base/reentrant_lock.h"
#include "trading/order_engine.h"

namespace qv {

class QV_SCOPED_CAPABILITY OrderEngine::OrderLock {
 public:
  // `resolve` makes a missing position (fills must reach one); without it an order that has no
  // position is locked alone.
  // Once constructed, `order.position` is the position locked (or null, and nothing is).
  OrderLock(OrderEngine& engine, OrderHolder& order, bool resolve)
      QV_ACQUIRE(order.lock, order.position->lock);
  ~OrderLock() QV_RELEASE() = default;

  PositionHolder* position() const { return position_; }

 private:
  HolderWriteGuard<OrderHolder> orderGuard_;
  PositionHolder* position_;
  HolderWriteGuard<PositionHolder> positionGuard_;
};

}  // namespace qv

#endif  // QV_TRADING_ORDER_LOCK_H

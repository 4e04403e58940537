// OrderEngine::EntryCall: the state of one order-entry call (one export), and the two walks every
// slot is built from: closing one side of a position through its close plan, and opening a volume.
//
// The call's orders form a chain: each order's NextOrder points to the record of the next order
// the call made, so the host walks every order of the call from the first. An order is priced
// afresh unless the order before it in the call is of the same instrument and direction; then
// it takes that order's conditions and price, so that all lots of one call go out at one price.
// With amount sizing, the volume is worked out once, from the price of the call's first order.
//
// What one call may send is bounded, so that a mistaken volume (2^31-1 lots, an infinite amount)
// cannot flood the exchange or exhaust the process:
// - closes never exceed the closable position (each step is cut to what it holds);
// - the opening volume is cut to what usable cash covers at the first opening order's price and
//   the instrument's margin; when that covers no lot, or there is no price above 0 to judge by,
//   one order's worth goes out and the exchange judges it;
// - a call sends at most kMaxOrdersPerCall orders.
// The lots a bound holds back are not sent: the call ends with one unsent order carrying them in
// OriginalVolume and kErrBeyondCallLimit in ErrorID, last in the chain.
//
// Lives on the stack of the host thread that called the export; touches the engine only through
// makeOrder, placeOrder, freezeClose (the close walks reserve a step's lots), usableCash and the
// snapshot map, and takes holder locks one at a time (never two orders at once).
#ifndef QV_TRADING_ENTRY_CALL_H
#define QV_TRADING_ENTRY_CALL_H

#include <cstdint>

#include "trading/order_engine.h"
#include "trading/volume_limits.h"

namespace qv {

class OrderEngine::EntryCall {
 public:

  EntryCall(OrderEngine& engine, char orderType, double price, int16_t orderMark)
      : engine_(engine), orderType_(orderType), price_(price), orderMark_(orderMark) {}

  // The volume still to place.
  void setRemaining(int32_t volume) { remaining_ = volume; }
  int32_t remaining() const { return remaining_; }
  // Sizes the call by money: the volume is `amount` worth of margin at the first order's price.
  void sizeByAmount(double amount) {
    amount_ = amount;
    sizing_ = true;
  }
  // Whether the call must stop: its volume could not be worked out, or a bound held lots back.
  bool ended() const { return ended_; }

  // The call's first order (the export's result) and the last one made; null before any.
  OrderHolder* first() const { return first_; }
  OrderHolder* last() const { return previous_; }

  enum class CloseEnd {
    kStepsDone,   // every step of the plan was taken as far as it went
    kVolumeUsed,  // nothing remains to place
    kStopped,     // a step's volume fell below one lot, a send failed, or the call ended
  };
  // Closes up to remaining() lots of the long side (`sells`: sell orders) or the short side (buy
  // orders) of `position` through the close plan of the instrument, today's lots first when
  // `todayFirst`. A step that the maximum volume cuts is repeated while it has lots.
  CloseEnd close(InstrumentInfo& instrument, PositionHolder& position, bool sells,
                 bool todayFirst);
  // Opens remaining() lots with buy (`sells` false) or sell opening orders, in orders the
  // instrument's volume limits allow; stops at a failed send or a volume below one lot.
  void open(InstrumentInfo& instrument, PositionHolder* position, bool sells);
  // Makes and sends one order of exactly `volume` lots with the given offset flag.
  OrderHolder* single(InstrumentInfo* instrument, const char* exchangeId,
                      const char* instrumentId, bool sells, char offsetFlag, int32_t volume);

 private:
  // Makes an order of the call, priced (afresh or copied) and linked into the chain; sizes the
  // call by its price when sizing is pending.
  OrderHolder* make(InstrumentInfo* instrument, PositionHolder* position, const char* exchangeId,
                    const char* instrumentId, bool sells, char offsetFlag);
  // Sets the volume of an order not yet sent; false (and ErrorID -1002500) when below one lot.
  bool setVolume(OrderHolder& order, int32_t volume);
  // Sends `order` (its close volume already frozen when `closeFrozen`) and counts its volume as
  // placed; the library's result.
  int32_t send(OrderHolder& order, bool closeFrozen);
  // Whether the call has sent as many orders as it may while lots remain.
  bool atOrderLimit() const { return sent_ >= kMaxOrdersPerCall && remaining_ >= 1; }
  // The lots an opening call may place from `order` (priced, the call's first opening order).
  int32_t openBudget(const InstrumentInfo& instrument, OrderHolder& order) const;
  // Ends the call with one unsent order holding `volume` lots that a bound kept back.
  void holdBack(InstrumentInfo* instrument, PositionHolder* position, bool sells, char offsetFlag,
                int32_t volume);

  OrderEngine& engine_;
  const char orderType_;
  const double price_;
  const int16_t orderMark_;
  int32_t remaining_ = 0;
  double amount_ = 0.0;
  bool sizing_ = false;
  bool ended_ = false;
  int32_t sent_ = 0;
  OrderHolder* first_ = nullptr;
  OrderHolder* previous_ = nullptr;
};

}  // namespace qv

#endif  // QV_TRADING_ENTRY_CALL_H

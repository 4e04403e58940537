// OrderEngine: the trading engine of a client, between the abstract TraderClient and the session
// on a concrete library. It owns what every order path shares: positions and their frozen
// volumes, usable cash and its freezes, the order book and the order events; it plans, prices and
// sizes orders (order entry) and applies the exchange's reports to them (order book). The session
// supplies the one call that reaches the library, insertOrder (slot 1), and feeds the reports in.
//
// Threads: order entry runs on host threads; reports, query loads and fills arrive on the trader
// library's callback thread. Lock order, acquire left to right only:
//   order holder -> its position holder -> cashReadFlag_ or cashWriteFlag_ (never both)
//   orderBookLock_ only while no order or position lock is held; TextMap locks innermost.
// Holder write locks are re-entrant for their owning thread (ReentrantWriter): an order event is
// raised while its order and position are held, and a host callable that places or cancels an
// order from inside the event passes through the locks its own thread holds.
#ifndef QV_TRADING_ORDER_ENGINE_H
#define QV_TRADING_ORDER_ENGINE_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "ThostFtdcUserApiStruct.h"
#include "trading/trader_client.h"

namespace qv {

// Order events raised by the engine.
inline constexpr int32_t kEventTraded = 10003;
inline constexpr int32_t kEventCanceled = 10004;
inline constexpr int32_t kEventUpdateCost = 10005;
inline constexpr int32_t kEventAccepted = 10006;
inline constexpr int32_t kEventInsertRejected = 10007;
inline constexpr int32_t kEventCancelRejected = 10008;

class OrderEngine : public TraderClient {
 public:
  using TraderClient::TraderClient;

  // ---- Order entry (order_entry.cc, order_insert.cc) ---------------------------------------
  // Slot 1: stamps one prepared order, hands it to the library through sendOrderRequest, and on
  // success freezes what it needs and books it; on refusal marks it '5' and raises InsertRejected.
  int32_t insertOrder(OrderHolder* order) override;
  OrderHolder* buyOpen(InstrumentInfo* instrument, const char* exchangeId,
                       const char* instrumentId, int32_t volume, char orderType, double price,
                       int16_t orderMark) override;
  OrderHolder* sellClose(InstrumentInfo* instrument, const char* exchangeId,
                         const char* instrumentId, int32_t volume, char orderType, double price,
                         int16_t orderMark, uint8_t unused, char offsetFlag,
                         int64_t unusedValue) override;
  OrderHolder* sellOpen(InstrumentInfo* instrument, const char* exchangeId,
                        const char* instrumentId, int32_t volume, char orderType, double price,
                        int16_t orderMark) override;
  OrderHolder* buyClose(InstrumentInfo* instrument, const char* exchangeId,
                        const char* instrumentId, int32_t volume, char orderType, double price,
                        int16_t orderMark, uint8_t unused, char offsetFlag,
                        int64_t unusedValue) override;
  OrderHolder* buy(InstrumentInfo* instrument, int32_t volume, char orderType, double price,
                   int16_t orderMark, uint8_t unused) override;
  OrderHolder* buyAmount(InstrumentInfo* instrument, double amount, char orderType, double price,
                         int16_t orderMark, uint8_t unused) override;
  OrderHolder* buyRatio(InstrumentInfo* instrument, double ratio, char orderType, double price,
                        int16_t orderMark, uint8_t flag) override;
  OrderHolder* sell(InstrumentInfo* instrument, int32_t volume, char orderType, double price,
                    int16_t orderMark, uint8_t unused) override;
  OrderHolder* sellAmount(InstrumentInfo* instrument, double amount, char orderType, double price,
                          int16_t orderMark, uint8_t unused) override;
  OrderHolder* sellRatio(InstrumentInfo* instrument, double ratio, char orderType, double price,
                         int16_t orderMark, uint8_t flag) override;
  OrderHolder* closeLong(const char* exchangeId, const char* instrumentId, int32_t volume,
                         char orderType, double price, int16_t orderMark,
                         uint8_t closeTodayFirst) override;
  OrderHolder* closeShort(const char* exchangeId, const char* instrumentId, int32_t volume,
                          char orderType, double price, int16_t orderMark,
                          uint8_t closeTodayFirst) override;
  OrderHolder* balanceToLongValue(InstrumentInfo* instrument, double value, char orderType,
                                  double price, int16_t orderMark) override;
  OrderHolder* balanceToLongVolume(InstrumentInfo* instrument, int32_t volume, char orderType,
                                   double price, int16_t orderMark) override;
  OrderHolder* balanceToShortValue(InstrumentInfo* instrument, double value, char orderType,
                                   double price, int16_t orderMark) override;
  OrderHolder* balanceToShortVolume(InstrumentInfo* instrument, int32_t volume, char orderType,
                                    double price, int16_t orderMark) override;

 private:
  // ---- Order entry internals (order_entry.cc, order_insert.cc, entry_call.*) ---------------
  // One export call's state: the chain of its orders, their pricing, the volume still to place.
  class EntryCall;
  // Makes an order: record zeroed but for identity (TradingDay, UserID, ExchangeID, StandardID,
  // OrderMark, OrderID = n x 100 + mark + 100 with n from orderCounter_), links the instrument and
  // position given, and enters it in allOrders. REQUIRES: no order or position lock held.
  OrderHolder* makeOrder(int16_t orderMark, InstrumentInfo* instrument, PositionHolder* position,
                         const char* exchangeId, const char* instrumentId);
  // Fills the links of `order` still null (instrument, snapshot, position, made when missing).
  void resolveLinks(OrderHolder& order);
  // Freezes what `order` needs while it works: cash for an opening order, close volume on its
  // position otherwise. REQUIRES: the order's write lock is held.
  void freezeFor(OrderHolder& order) QV_REQUIRES(order.lock);
  // insertOrder for an order whose close volume the caller froze already (`closeFrozen`): the
  // close walks reserve a step's lots under the position's lock as they size the order, so two
  // threads closing the same position never take the same lots.
  int32_t placeOrder(OrderHolder* order, bool closeFrozen);
  // The shared shapes of the slots: buy/sell with amount sizing, the automatic close of one
  // side, and the balance of one side to a volume.
  OrderHolder* placeTrade(EntryCall& call, InstrumentInfo& instrument, bool sells);
  OrderHolder* closeAutomatically(EntryCall& call, InstrumentInfo* instrument,
                                  const char* exchangeId, const char* instrumentId, bool sells);
  OrderHolder* closeSide(EntryCall& call, const char* exchangeId, const char* instrumentId,
                         bool sells, bool closeTodayFirst);
  OrderHolder* balanceToVolume(InstrumentInfo* instrument, int32_t volume, char orderType,
                               double price, int16_t orderMark, bool toLong);
  OrderHolder* balanceToValue(InstrumentInfo* instrument, double value, char orderType,
                              double price, int16_t orderMark, bool toLong);

 public:
  // ---- Reports from the exchange (order_book_*.cc, position_loading.cc) --------------------
  // Each ignores reports that are not this client's (reference range, session, unknown order).
  void onOrderReport(const CThostFtdcOrderField& report);
  void onTradeReport(const CThostFtdcTradeField& trade);
  // An insertion refused by the broker (OnRspOrderInsert with an error, OnErrRtnOrderInsert).
  void onInsertRefused(const CThostFtdcInputOrderField& input, int32_t errorId,
                       const char* errorMessage);
  // A cancellation refused (OnRspOrderAction with an error, OnErrRtnOrderAction). `actionId`
  // names the refused request (its request id; 0 when unknown): the library may report one
  // refusal through both callbacks, and the host hears of it once.
  void onCancelRefused(const char* orderRef, int32_t actionId, int32_t errorId,
                       const char* errorMessage);
  // Start-up loads while the session is connected ('3'); each is safe to repeat on a reconnect.
  // An order seen for the first time is restored silently; for an order the book held already,
  // the order record is kept and the trades not counted yet are applied as live trades (with their
  // events); finishOrderRestore (after the trade query's last answer) then applies the kept order
  // records as live order reports, and, once the order query answered in full, rejects this
  // client's unanswered orders of earlier sessions that it did not list.
  void restoreOrder(const CThostFtdcOrderField& report);
  void restoreTrade(const CThostFtdcTradeField& trade);
  // The order query's last answer arrived without error: the orders it listed are all there are.
  void finishOrderQuery();
  void finishOrderRestore();
  // A login reported trading day `day`. When it is later than the day the book holds: trades
  // counted on earlier days are forgotten (their ids are reused), and orders of earlier days that
  // were still working have expired at the exchange: they leave the working set, finished, with
  // their remainder canceled (Canceled is raised). The day's own queries rebuild the rest.
  void beginTradingDay(const char* day);
  void loadPosition(const CThostFtdcInvestorPositionField& position);
  // Opens a round of position loading named by `round` (the query's request id); naming the
  // round already open changes nothing. The first record of a position side in a round replaces
  // that side (volumes, frozen lots, turnover) instead of adding to it, so that repeating the
  // position query leaves the same numbers.
  void startPositionRound(int32_t round);
  // Closes the open round (the query's last answer, without error): every side of every position
  // that the round did not report is flat at the server and is zeroed (volumes, frozen lots,
  // turnover, average cost). A round closed already changes nothing.
  void finishPositionRound(int32_t round);

  // ---- Positions and funds (positions.cc, position_loading.cc) -----------------------------
  // The position under `key`, made when missing and `create` is set (instrument and snapshot
  // found by key when not given). Null when absent and not created.
  PositionHolder* positionFor(const char* key, bool create, InstrumentInfo* instrument,
                              SnapshotEntry* snapshot, const char* exchangeId,
                              const char* instrumentId);
  // Freezes (volume > 0) or releases (volume < 0) close volume on the side a close order takes:
  // the long side for a sell, the short side for a buy; today's counter for offset '3', else
  // yesterday's. A release takes from that counter first and then from the other one (where a
  // reload may have booked the lots); counters are clamped at 0. Takes the position's write lock
  // (re-entrant).
  void freezeClose(PositionHolder& position, int32_t volume, bool sells, char offsetFlag);
  // Applies a fill: `traded` lots, `canceled` lots leaving the frozen counters (released as
  // freezeClose releases), `turnover` money; costs change when `costs` is set. REQUIRES: the
  // position's write lock is held.
  void applyFill(PositionHolder& position, int32_t traded, int32_t canceled, double turnover,
                 char direction, char offsetFlag, bool costs) QV_REQUIRES(position.lock);
  // usableCash += delta under cashWriteFlag_. usableCash is always a finite number: a change that
  // would leave it infinite or NaN is not made.
  void addUsableCash(double delta);
  // Sets usableCash under cashWriteFlag_ (the account query); a value that is not finite is not
  // taken.
  void setUsableCash(double value);

 protected:
  // Hands one order to the library (the session builds the CTP request from the record); 0 when
  // handed over, else the library's result.
  virtual int32_t sendOrderRequest(OrderHolder& order) = 0;
  // Enters `order` in allOrders under the order-book lock (no change when present).
  void enterOrder(OrderHolder* order);
  // Gives back what an unfilled part of `order` froze: cash for an opening order, close volume
  // on its position for a closing one.
  void releaseFreeze(OrderHolder& order, int32_t volume) QV_REQUIRES(order.lock);
  // Raises an order event with the order, its position record (or null) and a copy of
  // usableCash (0 for InsertRejected and CancelRejected).
  void raiseOrderEvent(int32_t eventId, OrderHolder& order) QV_REQUIRES(order.lock);

  // ---- Order book internals (order_events.cc, order_book_*.cc, position_loading.cc) --------
  // workingOrders_ maintenance. REQUIRES: no order or position lock held by this thread.
  void enterWorking(OrderHolder* order) QV_EXCLUDES(orderBookLock_);
  void leaveWorking(int32_t orderId) QV_EXCLUDES(orderBookLock_);
  // Marks a trade as counted in its order's turnover or a position; false when it was counted
  // already (a replay after a reconnect, or a restore of a trade seen live). Trades without a
  // TradeID are never taken for repeats.
  bool countTradeOnce(const CThostFtdcTradeField& trade);
  // A trade of `order` (found by its OrderRef) applied as OnRtnTrade applies it: false when the
  // trade belongs to another order with the same reference (OrderSysID differs).
  bool applyOwnTrade(OrderHolder* order, int32_t orderId, const CThostFtdcTradeField& trade);
  // Rejects the orders of earlier sessions still waiting for their first answer that the order
  // query did not list (`listed`): their request was lost with the connection.
  void rejectLostOrders(const std::unordered_set<int32_t>& listed);
  // The order's position, found or made from the order's instrument key when the order has none
  // yet (orders refused before sending, restored orders). REQUIRES: the order's write lock.
  PositionHolder* resolvePosition(OrderHolder& order);
  // Whether a report with this (FrontID, SessionID) may speak of `order`: (0, 0), this client's
  // session, or the session the order was sent in (reports of orders sent before a reconnect).
  bool reportSessionMatches(OrderHolder& order, int32_t frontId, int32_t sessionId);
  // Locks an order and its position for the book (trading/order_lock.h).
  class OrderLock;

 private:
  // Identities (trading day, exchange, trade id, direction) of the trades already counted; the
  // callback thread writes it, the flag keeps tests that report from several threads sound.
  SpinFlag countedTradesFlag_;
  std::unordered_set<std::string> countedTrades_ QV_GUARDED_BY(countedTradesFlag_);
  // The trading day of the book ("" before the first login), under countedTradesFlag_.
  char bookDay_[9] QV_GUARDED_BY(countedTradesFlag_) = {};
  // A restore in progress (callback thread, under restoreFlag_): query records of orders the book
  // held already, by OrderID, and the orders this restore made.
  SpinFlag restoreFlag_;
  std::unordered_map<int32_t, CThostFtdcOrderField> missedReports_ QV_GUARDED_BY(restoreFlag_);
  std::unordered_set<int32_t> freshRestores_ QV_GUARDED_BY(restoreFlag_);
  std::unordered_set<int32_t> listedOrders_ QV_GUARDED_BY(restoreFlag_);
  bool orderListingComplete_ QV_GUARDED_BY(restoreFlag_) = false;
  // Position sides already loaded in the open round (kLoadedLong / kLoadedShort bits per holder);
  // touched only by the callback thread (the position query), under positionRoundFlag_.
  SpinFlag positionRoundFlag_;
  int32_t positionRound_ QV_GUARDED_BY(positionRoundFlag_) = 0;
  bool positionRoundOpen_ QV_GUARDED_BY(positionRoundFlag_) = false;
  std::unordered_map<const PositionHolder*, uint8_t> loadedPositionSides_
      QV_GUARDED_BY(positionRoundFlag_);
};

}  // namespace qv

#endif  // QV_TRADING_ORDER_ENGINE_H

// TraderClient: the abstract trading client behind every client handle. The exports check the
// handle and call one of its 23 virtual operations (order entry, cancellation, query commands,
// transfers, password updates); the concrete client implements them on the CTP trader library.
// A client lives from init until the process ends; its order, position and transfer holders live
// as long as it does, so every record address handed to the host stays valid.
//
// Threads: host threads (exports), the client's worker thread (task queue, loop callable) and the
// CTP library's callback thread all meet here.
// Lock order, acquire left to right only:
//   order holder -> its position holder -> cashReadFlag_ or cashWriteFlag_ (never both)
//   orderBookLock_ only while no order or position lock is held.
// - usableCash_ changes under cashWriteFlag_ and is copied under cashReadFlag_; it is stored and
//   loaded as one indivisible 8-byte value, so a copy is never torn.
// - allOrders_ and workingOrders_ change under orderBookLock_ held for writing and are searched
//   under it held for reading.
// - positions_ is a TextMap (searches safe against insertion); positionsFlag_ serialises the
//   creation of position holders.
// - sessionState_, requestCounter_ and orderCounter_ are atomics; the callable slots are read and
//   written as whole pointers.
#ifndef QV_TRADING_TRADER_CLIENT_H
#define QV_TRADING_TRADER_CLIENT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/spin_lock.h"
#include "bridge/callable_slot.h"
#include "bridge/host_object.h"
#include "bridge/raise.h"
#include "records/cqv_records.h"
#include "tasks/task.h"
#include "tasks/task_queue.h"
#include "trading/instrument_info.h"
#include "trading/order_holder.h"
#include "trading/position_holder.h"
#include "trading/snapshot_entry.h"
#include "trading/text_map.h"
#include "trading/transfer_holder.h"

namespace qv {

class MdClient;
using SnapshotMap = TextMap<SnapshotEntry>;

// Session states (one character): created, disconnected, front connected, ready, stopped.
inline constexpr char kStateCreated = '1';
inline constexpr char kStateDisconnected = '2';
inline constexpr char kStateConnected = '3';
inline constexpr char kStateReady = '4';
inline constexpr char kStateStopped = '0';

// Order events with a slot of their own, in slot order.
inline constexpr int32_t kFirstOrderEvent = 10003;
inline constexpr int32_t kLastOrderEvent = 10009;
inline constexpr int kOrderEventSlots = kLastOrderEvent - kFirstOrderEvent + 1;

// Reservations of the order book and positions made at construction.
inline constexpr size_t kAllOrdersReserved = 100000;
inline constexpr size_t kWorkingOrdersReserved = 1000;
inline constexpr size_t kPositionsReserved = 1000;

// Login-copy defaults: a TaskExecuteGap of -1 and time-outs below the minimum are replaced.
inline constexpr int64_t kDefaultTaskExecuteGap = 1000000;
inline constexpr int64_t kMinTaskExecuteTimeout = 10000000;

// Copies `login` and applies the defaults of a client's own copy: TaskExecuteGap -1 -> 1000000,
// empty BasePath -> ".", empty InvestorID <- UserID, TaskExecuteTimeout < 10000000 -> 10000000.
CQVLoginField normalisedLogin(const CQVLoginField& login);

class TraderClient {
 public:
  // REQUIRES: clientIndex <= 99 (init checks it). The callables are stored by the construction
  // rule: None or null stores nothing to call, a callable is stored, anything else is not.
  TraderClient(uint16_t clientIndex, const CQVLoginField& login, HostObject orderCallable,
               HostObject responseCallable, HostObject loopCallable);
  TraderClient(const TraderClient&) = delete;
  TraderClient& operator=(const TraderClient&) = delete;

  // Slot 0. Releases the login copy, the task queue and the containers; holders are not freed.
  virtual ~TraderClient();

  // Slot 1: sends one prepared order; the CTP request's result (0 sent).
  virtual int32_t insertOrder(OrderHolder* order) = 0;
  // Slot 2: one order action. A front id or session id of 0 means the client's own.
  virtual int32_t cancelOrder(const char* exchangeId, const char* instrumentId,
                              const char* orderSysId, int32_t orderId, int32_t frontId,
                              int32_t sessionId) = 0;
  // Slot 3: runs a queued task's request; 0 sent, -1003200 no request for the task id. Runs under
  // the task queue's lock: raises nothing.
  virtual int64_t runQueryCommand(Task& task) = 0;
  // Slots 4 to 7: open or close explicitly. `instrument` may be null.
  virtual OrderHolder* buyOpen(InstrumentInfo* instrument, const char* exchangeId,
                               const char* instrumentId, int32_t volume, char orderType,
                               double price, int16_t orderMark) = 0;
  virtual OrderHolder* sellClose(InstrumentInfo* instrument, const char* exchangeId,
                                 const char* instrumentId, int32_t volume, char orderType,
                                 double price, int16_t orderMark, uint8_t unused,
                                 char offsetFlag, int64_t unusedValue) = 0;
  virtual OrderHolder* sellOpen(InstrumentInfo* instrument, const char* exchangeId,
                                const char* instrumentId, int32_t volume, char orderType,
                                double price, int16_t orderMark) = 0;
  virtual OrderHolder* buyClose(InstrumentInfo* instrument, const char* exchangeId,
                                const char* instrumentId, int32_t volume, char orderType,
                                double price, int16_t orderMark, uint8_t unused,
                                char offsetFlag, int64_t unusedValue) = 0;
  // Slots 8 to 13: buy or sell, closing the opposite side first. REQUIRES: instrument != null.
  virtual OrderHolder* buy(InstrumentInfo* instrument, int32_t volume, char orderType,
                           double price, int16_t orderMark, uint8_t unused) = 0;
  virtual OrderHolder* buyAmount(InstrumentInfo* instrument, double amount, char orderType,
                                 double price, int16_t orderMark, uint8_t unused) = 0;
  virtual OrderHolder* buyRatio(InstrumentInfo* instrument, double ratio, char orderType,
                                double price, int16_t orderMark, uint8_t flag) = 0;
  virtual OrderHolder* sell(InstrumentInfo* instrument, int32_t volume, char orderType,
                            double price, int16_t orderMark, uint8_t unused) = 0;
  virtual OrderHolder* sellAmount(InstrumentInfo* instrument, double amount, char orderType,
                                  double price, int16_t orderMark, uint8_t unused) = 0;
  virtual OrderHolder* sellRatio(InstrumentInfo* instrument, double ratio, char orderType,
                                 double price, int16_t orderMark, uint8_t flag) = 0;
  // Slots 14, 15: close a side; exchange id first, either text may be null.
  virtual OrderHolder* closeLong(const char* exchangeId, const char* instrumentId,
                                 int32_t volume, char orderType, double price, int16_t orderMark,
                                 uint8_t closeTodayFirst) = 0;
  virtual OrderHolder* closeShort(const char* exchangeId, const char* instrumentId,
                                  int32_t volume, char orderType, double price,
                                  int16_t orderMark, uint8_t closeTodayFirst) = 0;
  // Slots 16 to 19: move the position towards a target. REQUIRES: instrument != null.
  virtual OrderHolder* balanceToLongValue(InstrumentInfo* instrument, double value,
                                          char orderType, double price, int16_t orderMark) = 0;
  virtual OrderHolder* balanceToLongVolume(InstrumentInfo* instrument, int32_t volume,
                                           char orderType, double price, int16_t orderMark) = 0;
  virtual OrderHolder* balanceToShortValue(InstrumentInfo* instrument, double value,
                                           char orderType, double price, int16_t orderMark) = 0;
  virtual OrderHolder* balanceToShortVolume(InstrumentInfo* instrument, int32_t volume,
                                            char orderType, double price,
                                            int16_t orderMark) = 0;
  // Slot 20: a bank transfer ('0' bank to futures, 'a' futures to bank); the new holder.
  virtual TransferHolder* transferCash(char direction, double amount,
                                       const char* accountPassword, const char* bankId,
                                       const char* bankPassword) = 0;
  // Slot 21: no position transfer exists on this runtime; the base returns null.
  virtual TransferHolder* transferPosition(char direction, const char* instrumentId,
                                           const char* exchangeId, int32_t volume,
                                           const char* accountPassword,
                                           const char* targetAccount);
  // Slot 22: kind '0' user password, '1' trading-account password; the request's result.
  virtual int32_t updatePassword(char kind, const char* oldPassword,
                                 const char* newPassword) = 0;

  // Cancellation by selection: walk workingOrders under the order-book lock held for reading and
  // call slot 2 for every selected order whose OrderStatus is '3'. Results are summed;
  // cancelOrderByOrderID returns the request's result, or -1 when the order is not working.
  int32_t cancelOrderAll() QV_EXCLUDES(orderBookLock_);
  int32_t cancelOrderByExchangeID(const char* exchangeId) QV_EXCLUDES(orderBookLock_);
  int32_t cancelOrderByOrderID(int32_t orderId) QV_EXCLUDES(orderBookLock_);
  int32_t cancelOrderByStandardID(const char* instrumentId, const char* exchangeId)
      QV_EXCLUDES(orderBookLock_);

  // The orders in workingOrders at the moment of the call (listed under the order-book lock).
  std::vector<OrderHolder*> listWorkingOrders() const QV_EXCLUDES(orderBookLock_);

  // Look-ups for the exports; safe against concurrent insertion. Null when absent.
  OrderHolder* findOrder(int32_t orderId) const QV_EXCLUDES(orderBookLock_);
  PositionHolder* findPosition(const char* instrumentId, const char* exchangeId) const;
  // A copy of usableCash taken under cashReadFlag_.
  double usableCash() const;

  // Binds the market-data client (and its snapshot map) to this client; done once by init.
  void attachMdClient(MdClient* mdClient);
  MdClient* mdClient() const { return mdClient_.load(std::memory_order_acquire); }
  SnapshotMap* snapshotMap() const { return snapshotMap_.load(std::memory_order_acquire); }

  const CQVLoginField& login() const { return *login_; }
  TaskQueue& taskQueue() { return *taskQueue_; }

  char sessionState() const { return sessionState_.load(std::memory_order_acquire); }
  // Stores a new state; returns the one it replaced.
  char exchangeSessionState(char state) {
    return sessionState_.exchange(state, std::memory_order_acq_rel);
  }

  int32_t orderCounter() const { return orderCounter_.load(std::memory_order_relaxed); }
  int32_t orderIdMin() const { return orderIdMin_; }
  int32_t orderIdMax() const { return orderIdMax_; }
  bool isOwnOrderRef(int32_t ref) const { return ref >= orderIdMin_ && ref <= orderIdMax_; }

  // Callable slots; null when `eventId` has no order-event slot.
  CallableSlot* orderEventSlot(int32_t eventId);
  CallableSlot& generalOrderSlot() { return generalOrderSlot_; }
  CallableSlot& loopSlot() { return loopSlot_; }
  CallableSlot& responseSlot() { return responseSlot_; }
  bridge::ResponseFallback responseFallback() const {
    return responseFallback_.load(std::memory_order_acquire);
  }

  // Raises a response event through the response slot, or the fallback when none is registered.
  void raiseResponse(int32_t eventId, const void* record, bool isLast, int32_t errorId,
                     const char* message) const;

 protected:
  void setResponseFallback(bridge::ResponseFallback fallback) {
    responseFallback_.store(fallback, std::memory_order_release);
  }

 private:
  // The task queue's view of this client: runs tasks through slot 3, raises their events (a
  // refused market-data login through the market-data client), lets host tasks go once ready.
  class TaskLink final : public TaskOwner {
   public:
    explicit TaskLink(TraderClient& client) : client_(client) {}
    int64_t runQueryCommand(Task& task) override { return client_.runQueryCommand(task); }
    void raiseTaskEvent(int32_t eventId, const char* userId, int32_t errorId,
                        const char* message) override;
    void raiseRefusedSend(int32_t taskId, const char* userId, int64_t result) override;
    bool hostTasksMayRun() const override { return client_.sessionState() == kStateReady; }

   private:
    TraderClient& client_;
  };

 protected:
  mutable SpinFlag cashReadFlag_ QV_ACQUIRED_AFTER(PositionHolder::lock);
  std::atomic<double> usableCash_{0.0};
  SpinFlag cashWriteFlag_ QV_ACQUIRED_AFTER(PositionHolder::lock);
  std::unordered_map<int32_t, OrderHolder*> allOrders_ QV_GUARDED_BY(orderBookLock_);
  mutable SpinRwLock orderBookLock_ QV_ACQUIRED_BEFORE(OrderHolder::lock);
  std::unordered_map<int32_t, OrderHolder*> workingOrders_ QV_GUARDED_BY(orderBookLock_);
  SpinFlag positionsFlag_;
  TextMap<PositionHolder> positions_;
  std::atomic<SnapshotMap*> snapshotMap_{nullptr};
  std::unique_ptr<CQVLoginField> login_;
  std::atomic<MdClient*> mdClient_{nullptr};

 private:
  TaskLink taskLink_;

 protected:
  std::unique_ptr<TaskQueue> taskQueue_;
  std::atomic<char> sessionState_{kStateCreated};
  std::atomic<int32_t> frontId_{0};
  std::atomic<int32_t> sessionId_{0};
  std::atomic<int32_t> requestCounter_{0};
  std::atomic<int32_t> orderCounter_;
  const int32_t orderIdMin_;
  const int32_t orderIdMax_;
  std::atomic<bridge::ResponseFallback> responseFallback_{nullptr};
  CallableSlot orderEventSlots_[kOrderEventSlots];
  CallableSlot generalOrderSlot_;
  CallableSlot loopSlot_;
  CallableSlot responseSlot_;
};

static_assert(std::atomic<double>::is_always_lock_free, "usableCash must be one indivisible store");

}  // namespace qv

#endif  // QV_TRADING_TRADER_CLIENT_H

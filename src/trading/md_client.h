// MdClient: the abstract market-data client bound to one trading client. It keeps the
// subscription book (which instruments the host asked for, grouped by exchange), the snapshot map
// that order entry reads prices from, and the host callables for market-data events. The concrete
// client sends the subscriptions and the login on the CTP market-data library.
//
// Threads: host threads call subscribe/unsubscribe; the market-data callback thread writes
// snapshots and the state; the trading client's worker runs login (task 11102).
// - bookLock_ (SpinFlag) guards book_ and is held for a whole book update, never while a request
//   is sent.
// - snapshots_ is a TextMap: searches are safe while the callback thread inserts.
// - state_ and requestCounter_ are atomics; the callable slots are whole-pointer atomics.
#ifndef QV_TRADING_MD_CLIENT_H
#define QV_TRADING_MD_CLIENT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/spin_lock.h"
#include "bridge/callable_slot.h"
#include "bridge/host_object.h"
#include "bridge/raise.h"
#include "records/cqv_records.h"
#include "trading/snapshot_entry.h"
#include "trading/text_map.h"

namespace qv {

class TaskQueue;
using SnapshotMap = TextMap<SnapshotEntry>;

// Market-data events with a slot of their own.
inline constexpr int32_t kFirstSnapshotEvent = 10010;
inline constexpr int32_t kLastSnapshotEvent = 10011;
inline constexpr int32_t kFirstDetailEvent = 10012;
inline constexpr int32_t kLastDetailEvent = 10015;

class MdClient {
 public:
  // `login` is the trading client's normalised copy and must outlive this client. The snapshot
  // slots take `marketDataCallable`, the response and detail slots `responseCallable`, by the
  // construction rule (None stores nothing to call). The response fallback is the event-text
  // printer.
  MdClient(const CQVLoginField* login, HostObject marketDataCallable, HostObject responseCallable);
  MdClient(const MdClient&) = delete;
  MdClient& operator=(const MdClient&) = delete;

  // Slot 0.
  virtual ~MdClient();
  // Slots 1, 2: send (un)subscriptions of `count` codes; 0 when sent or not sendable yet.
  virtual int32_t sendSubscribe(const char* bookKey, char** codes, int32_t count, char type) = 0;
  virtual int32_t sendUnsubscribe(const char* bookKey, char** codes, int32_t count,
                                  char type) = 0;
  // Slot 3: sends the market-data login under a new request id, stored in `requestId` before the
  // send; 0 when sent, kLoginWhenConnected when nothing needs sending (the session is logged in
  // already) or the session logs in by itself instead (its front is not connected yet, or its own
  // login is under way). Raises nothing, so it may run under the
  // task queue's lock: whoever called it reports a refusal with raiseLoginRefused once it holds no
  // lock.
  virtual int32_t login(int32_t& requestId) = 0;
  // Event 11102 for a login the library refused with `result`: kFailToSendMessage.
  void raiseLoginRefused(int32_t result) const;

  // Adds `count` codes to the book (under `exchangeId`, or the exchange the instrument table knows,
  // or "U") and sends the new ones grouped by exchange; the sum of the send results. Null `codes`
  // replays the whole book. A code already booked, a null code and a code whose book key does not
  // exist are skipped.
  int32_t subscribe(const char* exchangeId, char** codes, int32_t count, char type)
      QV_EXCLUDES(bookLock_);
  // Removes codes from the book and sends the removals grouped by exchange. Null `codes` or a
  // count below 1 does nothing and returns 0.
  int32_t unsubscribe(const char* exchangeId, char** codes, int32_t count, char type)
      QV_EXCLUDES(bookLock_);

  // The codes booked under `bookKey` ("SHFE.0"), sorted; empty for an unknown key.
  std::vector<std::string> bookedCodes(const std::string& bookKey) const QV_EXCLUDES(bookLock_);

  void attachTaskQueue(TaskQueue* queue) { taskQueue_.store(queue, std::memory_order_release); }
  TaskQueue* taskQueue() const { return taskQueue_.load(std::memory_order_acquire); }

  SnapshotMap& snapshots() { return snapshots_; }
  const CQVLoginField& loginRecord() const { return *login_; }

  char state() const { return state_.load(std::memory_order_acquire); }

  // Slots for setSnapDataEventCallback / setDetailDataEventCallback; null for other ids.
  CallableSlot* snapshotSlot(int32_t eventId);
  CallableSlot* detailSlot(int32_t eventId);
  CallableSlot& responseSlot() { return responseSlot_; }

  // Raises a response event through the response slot, or the fallback.
  void raiseResponse(int32_t eventId, const void* record, bool isLast, int32_t errorId,
                     const char* message) const;

 protected:
  void setState(char state) { state_.store(state, std::memory_order_release); }
  int32_t nextRequestId() { return requestCounter_.fetch_add(1, std::memory_order_relaxed) + 1; }

 private:
  using CodeSet = std::unordered_set<std::string>;
  using Groups = std::unordered_map<std::string, std::vector<std::string>>;
  enum class BookAction { kAdd, kRemove };

  // Applies `action` for each code under the book lock and returns the codes that changed the
  // book, grouped by exchange id.
  Groups updateBook(const char* exchangeId, char** codes, int32_t count, char type,
                    BookAction action) QV_EXCLUDES(bookLock_);
  int32_t replay(char type) QV_EXCLUDES(bookLock_);
  int32_t sendGroups(const Groups& groups, bool subscribing);

  std::atomic<TaskQueue*> taskQueue_{nullptr};
  mutable SpinFlag bookLock_;
  std::unordered_map<std::string, CodeSet> book_ QV_GUARDED_BY(bookLock_);
  SnapshotMap snapshots_;
  const CQVLoginField* login_;
  std::atomic<char> state_{'1'};
  std::atomic<int32_t> requestCounter_{0};
  bridge::ResponseFallback responseFallback_;
  CallableSlot responseSlot_;
  CallableSlot snapshotSlots_[kLastSnapshotEvent - kFirstSnapshotEvent + 1];
  CallableSlot detailSlots_[kLastDetailEvent - kFirstDetailEvent + 1];
};

}  // namespace qv

#endif  // QV_TRADING_MD_CLIENT_H

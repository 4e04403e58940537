// Session: the connection of one stand-in API object (trader or market data) to its simulated
// front, and the library thread that delivers its callbacks. The world sees it as an Endpoint
// (core/world/endpoint.h) and the session sees the replay only as the world's Timeline.
//
// Threading contract, as the vendor's libraries keep it: Init starts the object's own thread; the
// thread connects (OnFrontConnected) whenever the front is up and the session is not connected;
// every callback of the object runs on that thread, one at a time, in the order it was queued.
// Requests run on the caller's thread, copy their record, and queue their answers here.
//
// Locks: World::mu (core/world/world.h) guards the broker, the market, the rules and every session's
// broker-facing state; mutex_ guards the queue, the connection flag and the flow-control window.
// Lock order: World::mu, then a session's mutex_, then the lock-step order (core/sessions/lockstep.h). No
// lock is held while a callback runs. During a replay every queued callback is delivered in the
// process-wide lock-step order and regardless of the answer latency.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/exchange/exchange_clock.h"
#include "core/world/endpoint.h"

namespace qvsim {

class Session : public Endpoint {
 public:
  explicit Session(Kind kind);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  virtual ~Session();

  Kind kind() const override { return kind_; }

  // Queues a callback that answers no request (returns, pushed snapshots, control deliveries).
  void postUnsolicited(std::function<void()> call) override;

  // Drops the connection: queued and held answers are lost, OnFrontDisconnected(reason) is queued.
  // Nothing happens when the session is not connected. REQUIRES: World::mu held.
  void dropLocked(int reason) override;

  // Moves held answers to the queue; returns how many requests they answer. REQUIRES: World::mu held.
  int releaseHeldLocked() override;

  bool connected();

  // Wakes the library thread (its turn in the lock-step order came, or its stream has news).
  void wake();

 protected:
  using Call = std::function<void()>;

  // Starts the library thread (Init). A second call does nothing.
  void startThread();
  // Stops the thread and frees the object (Release). Safe from the object's own callback thread:
  // the thread then frees the object after the callback returns.
  void releaseSelf();
  // Blocks until the object is released (Join).
  int joinThread();

  // Admission of a request, under World::mu: records it in the request log, applies a refuse
  // rule, and returns -1 when not connected, and for queries -2 when too many requests are waiting
  // or -3 when the per-second query limit is reached. 0 admits the request.
  int admitLocked(const char* name, const void* record, std::size_t size, int requestId, bool isQuery);
  // Queues the answers of an admitted request (or holds them when a hold rule matches).
  void answerLocked(const char* name, std::vector<Call> calls);

  // Called on the library thread, under World::mu, when the front becomes reachable; the session
  // is then marked connected and `connectedCall` queued.
  virtual void onConnectLocked() = 0;
  virtual Call connectedCall() = 0;
  virtual Call disconnectedCall(int reason) = 0;
  // Called under World::mu when the connection drops (reset login state).
  virtual void onDropLocked() {}
  // Called on the library thread with no lock held, between deliveries (market-data stream).
  virtual void onIdle(std::int64_t /*nowMicros*/) {}

  // Whether Release has been called; a callback loop checks it between deliveries.
  bool stopping();

 private:
  struct Item {
    std::int64_t due = 0;
    Call call;
    bool endsRequest = false;
    std::uint64_t generation = 0;
    bool ordered = false;  // has a place in the lock-step order
  };

  // Queues an item, giving it a lock-step place while replays order deliveries. REQUIRES: mutex_.
  void pushLocked(Item item);
  // Gives up the lock-step places of the queued items about to be discarded. REQUIRES: mutex_;
  // returns the session to wake, if any, after mutex_ is released.
  Session* forgetOrderedLocked();
  // After an ordered callback returned: passes the turn on, or asks the replay for its next step.
  void finishTurn();
  void run();
  void tryConnect(std::int64_t nowMicros);

  const Kind kind_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> queue_;          // guarded by mutex_
  std::vector<Item> held_;          // guarded by mutex_
  std::deque<std::int64_t> queryTimes_;  // guarded by mutex_: send times of queries in the last second
  int ordered_ = 0;                 // guarded by mutex_: queued items with a lock-step place
  int pending_ = 0;                 // guarded by mutex_: admitted requests whose last answer is not delivered
  std::uint64_t generation_ = 0;    // guarded by mutex_: bumped by every drop
  bool connected_ = false;          // guarded by mutex_
  bool started_ = false;            // guarded by mutex_
  bool stop_ = false;               // guarded by mutex_
  int joiners_ = 0;                 // guarded by mutex_
  bool freeOnExit_ = false;         // written and read by the library thread only
};

}  // namespace qvsim

// Lock-step delivery, for replays: while it is on, every callback queued for any stand-in object
// takes a place in one process-wide order, and an object delivers such a callback only when every
// callback queued before it, on any object, was delivered. Requests a host sends from inside a
// callback queue their answers behind it, so what a snapshot caused is delivered, in an order that
// does not depend on thread timing, before the next snapshot goes out. When the last waiting
// callback was delivered, the delivering thread asks the replay for its next step itself: a lone
// subscriber plays a file with no thread hand-off at all.
// A callback that blocks for more than kStallMicros (a host waiting inside one callback for
// another) lets the objects behind it deliver out of turn, so that it cannot hang the host; the
// order is then not kept for as long as it blocks.
// Thread-safe: mu_ guards the order; front_ mirrors its head for a lock-free turn check. Lock
// order: World::mu, a session's queue lock, then mu_. A session is woken with no lock held, and a
// session that retires waits until no thread is about to wake it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace qvsim {

class Session;

class Lockstep {
 public:
  static constexpr std::int64_t kStallMicros = 2000000;

  static Lockstep& get();

  bool on() const { return on_.load(std::memory_order_acquire); }
  // Switches ordering on or off. Callbacks already in the order keep their places.
  void setOn(bool on) { on_.store(on, std::memory_order_release); }

  // Gives a callback just queued on `session` the last place. REQUIRES: the session's queue lock.
  void enqueue(Session* session);
  // Whether the session's first ordered callback is next.
  bool isTurn(const Session* session) const { return front_.load(std::memory_order_acquire) == session; }
  // Whether it is next, or the callback whose turn it is has blocked for longer than kStallMicros.
  bool mayDeliver(const Session* session, std::int64_t nowMicros) const;
  // Called after `session` delivered its first ordered callback: wakes the next one. True when
  // nothing is left waiting.
  bool finish(Session* session);
  // Drops the last `count` places of a session whose queued callbacks were discarded (a lost
  // front) and wakes the session whose turn it now is. True when nothing is left waiting.
  // REQUIRES: no session queue lock held.
  bool forget(const Session* session, int count);
  // Drops every place of a session whose thread ends, and waits until no thread is about to wake
  // it. True when nothing is left waiting.
  bool retire(const Session* session);
  bool quiet();

 private:
  Lockstep() = default;
  // Wakes `next` unless it is `self`; returns whether the order is empty. Takes and leaves `lock`
  // locked.
  bool handOver(std::unique_lock<std::mutex>& lock, const Session* self, Session* before);

  std::atomic<bool> on_{false};
  std::mutex mu_;
  std::condition_variable woken_;
  std::deque<Session*> order_;  // guarded by mu_
  int waking_ = 0;              // guarded by mu_: threads between picking a session and waking it
  std::atomic<Session*> front_{nullptr};
  std::atomic<std::int64_t> frontSince_{0};  // monotonic time the head last changed
};

}  // namespace qvsim

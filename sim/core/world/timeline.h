// Timeline: what the API objects see of a replay's progress through the replayed market. A trader
// object asks it whether an order or cancel reaches the matching now or later (a scenario's order
// latency during a replay) and hands it the requests that arrive later; an object that loses its
// front or is released takes its requests back; a library thread that delivered the last callback
// waiting in the lock-step order tells it, so it can play the next snapshot.
// The world holds the timeline (World::timeline()); this base is the market with no replay: every
// request arrives at once and nothing waits. The replay (core/replay/replay.h) overrides it.
// Methods ending in Locked REQUIRE World::mu held; onQuiet is called with no lock held.
#pragma once

#include <functional>

namespace qvsim {

class Endpoint;

class Timeline {
 public:
  // Whether requests reach the matching later than they were sent.
  virtual bool delaysRequestsLocked() const { return false; }
  // Holds a request until the replayed market reaches its arrival; `arrive` then runs under
  // World::mu. Called only while delaysRequestsLocked().
  virtual void delayLocked(const Endpoint* /*from*/, std::function<void()> arrive) { arrive(); }
  // Drops the requests an object still has on their way.
  virtual void forgetRequestsLocked(const Endpoint* /*from*/) {}
  // Forgets a file opened and not played (a new scenario was loaded).
  virtual void closeLocked() {}
  // Nothing waits for its turn in the lock-step order any more. `here`: called by the library
  // thread that delivered the last callback, which may then play the next snapshots itself.
  virtual void onQuiet(bool /*here*/) {}

 protected:
  Timeline() = default;
  ~Timeline() = default;
};

}  // namespace qvsim

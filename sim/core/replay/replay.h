// Replay: plays a tick file to the process's simulated exchange. Each snapshot sets the exchange's
// clock (core/exchange/exchange_clock.h), becomes the instrument's market (the generator
// stops for replayed instruments), is matched against the working orders and is delivered to the
// subscribed market-data objects; fills go to their investors' trader objects. While a replay
// runs, deliveries follow the lock-step order (core/sessions/lockstep.h). At speed 0 the next snapshot goes
// out once everything the previous one caused was delivered, including the answers to requests the
// host sent from inside those callbacks; it is played by the thread that delivered the last of
// them. Speed s > 0 paces the snapshots by their own times on the replay's thread, s times faster,
// each still waiting for what the previous one caused: a paced run trades as a lock-step one.
// With an order latency, orders and cancels reach the matching that much replayed time after they
// were sent.
// One per process (get()). open() readies the exchange for a file (its clock, price bands and,
// when no trader is logged in yet, the trading day of its first snapshot) so that a login after it
// sees the replayed day; play() plays it. The trading day stays the same for the whole replay.
// Thread-safe: the file, the cursor and the delayed requests are guarded by World::mu; mu_ guards
// the thread handle and the finished flag; the progress counters are atomic. World::mu is never
// taken with mu_ held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/replay/tick_file.h"
#include "core/world/timeline.h"

namespace qvsim {

class Replay final : public Timeline {
 public:
  static Replay& get();

  // Reads, checks and normalises a tick file (strictly when the world's settings say so) and
  // readies the exchange for it; stops a replay still running. Returns the number of snapshots,
  // or -1 with a message in error.
  long long open(const std::string& path, std::string& error);
  // Reads and checks a tick file as open does, into `file`, leaving the exchange and any replay as
  // they are; false with a message. Safe on several threads at once.
  static bool check(const std::string& path, TickFile& file, std::string& error);
  // Plays the opened file; false with a message when none is open or speed is negative.
  bool play(double speed, std::string& error);
  long long start(const std::string& path, double speed, std::string& error);
  // Stops a running replay (the snapshots not yet sent are dropped) and waits for its thread.
  void stop();
  void progress(long long& delivered, long long& total);
  // Waits until the replay has finished (every snapshot and the callbacks it caused delivered);
  // timeoutMicros < 0 waits without limit. True when finished (or none was started).
  bool wait(std::int64_t timeoutMicros);
  // Forgets a file opened and not played (a new scenario was loaded). REQUIRES: World::mu held.
  void closeLocked() override { opened_ = false; }
  // The instruments of the opened file, in first-seen order.
  std::vector<TickInstrument> instruments();
  // What loading the opened file normalised.
  NormalisationCounts normalised();
  // The trading days of the opened file's snapshots, in first-seen order.
  std::vector<std::string> tradingDays();

  // Timeline. onQuiet: nothing waits for its turn any more. `here`: called by the library thread
  // that delivered the last callback, which then plays the next snapshots itself at speed 0;
  // otherwise the replay's thread is woken to look.
  void onQuiet(bool here) override;
  // Whether requests reach the matching later than they were sent. REQUIRES: World::mu held.
  bool delaysRequestsLocked() const override;
  // Holds a request until the replayed market reaches its arrival. REQUIRES: World::mu held.
  void delayLocked(const Endpoint* from, std::function<void()> arrive) override;
  // Drops the held requests of an object that lost its front or was released.
  // REQUIRES: World::mu held.
  void forgetRequestsLocked(const Endpoint* from) override;

 private:
  struct Delayed {
    const Endpoint* from = nullptr;
    long long dueMillis = 0;  // on the replay's running clock
    int date = 0;
    int millisOfDay = 0;
    std::function<void()> arrive;
  };

  Replay() = default;
  void run();
  // Plays snapshots while nothing waits for its turn (speed 0), and ends the replay when the file
  // is done and everything delivered. REQUIRES: World::mu held.
  void advanceLocked();
  void stepLocked();
  void arriveLocked(long long untilMillis);
  void finishLocked();

  // Guarded by World::mu.
  TickFile file_;
  std::size_t cursor_ = 0;
  double speed_ = 0.0;
  bool playing_ = false;
  long long clockMillis_ = -1;  // the running clock: the latest replayed time
  std::deque<Delayed> delayed_;
  bool opened_ = false;  // a file is open and not yet played

  std::mutex mu_;
  std::condition_variable cv_;
  std::thread thread_;          // guarded by mu_
  bool finished_ = true;        // guarded by mu_
  bool kicked_ = false;         // guarded by mu_
  std::atomic<bool> stop_{false};
  std::atomic<bool> active_{false};  // playing_, readable without World::mu
  std::atomic<long long> delivered_{0};
  std::atomic<long long> total_{0};
};

}  // namespace qvsim

// Replay: plays a tick file to the process's simulated exchange on its own thread. Each snapshot
// becomes the instrument's market (the generator stops for replayed instruments), is matched
// against the working orders and is delivered to the subscribed market-data objects; fills go to
// their investors' trader objects. Speed 0 sends each snapshot once every callback the previous one
// caused was delivered; speed s > 0 paces the snapshots by their own times, s times faster.
// One per process (get()); a new start stops the replay still running. Thread-safe: mu_ guards the
// thread handle and the progress counters; World::mu is taken per snapshot, never with mu_ held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

class Replay {
 public:
  static Replay& get();

  // Loads a tick file and starts playing it; returns the number of snapshots, or -1 with a
  // message in error.
  long long start(const std::string& path, double speed, std::string& error);
  // Stops a running replay (the snapshots not yet sent are dropped) and waits for its thread.
  void stop();
  void progress(long long& delivered, long long& total);
  // Waits until the replay has finished (every snapshot and the callbacks it caused delivered);
  // timeoutMicros < 0 waits without limit. True when finished (or none was started).
  bool wait(std::int64_t timeoutMicros);

 private:
  Replay() = default;
  void run(std::vector<CThostFtdcDepthMarketDataField> ticks, double speed);

  std::mutex mu_;
  std::condition_variable cv_;
  std::thread thread_;          // guarded by mu_
  std::atomic<bool> stop_{false};
  long long delivered_ = 0;     // guarded by mu_
  long long total_ = 0;         // guarded by mu_
  bool finished_ = true;        // guarded by mu_
};

}  // namespace qvsim

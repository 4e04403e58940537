#include "core/replay.h"

#include <chrono>
#include <set>

#include "core/fields.h"
#include "core/session.h"
#include "core/tick_file.h"
#include "core/world.h"

namespace qvsim {

namespace {

constexpr long long kDayMillis = 24LL * 3600 * 1000;
constexpr std::int64_t kPollMicros = 20;
constexpr int kYieldSpins = 2000;

void sleepFor(std::int64_t micros) { std::this_thread::sleep_for(std::chrono::microseconds(micros)); }

// Waits until every callback the replay caused was delivered: the library threads usually drain
// them within microseconds, so it yields a while before it falls back to short sleeps.
void waitDrained(const std::atomic<bool>& stop) {
  World& w = World::get();
  for (int spins = 0; w.inFlight.load() > 0 && !stop.load(); ++spins) {
    if (spins < kYieldSpins) {
      std::this_thread::yield();
    } else {
      sleepFor(kPollMicros);
    }
  }
}

}  // namespace

Replay& Replay::get() {
  static Replay* replay = new Replay();
  return *replay;
}

long long Replay::start(const std::string& path, double speed, std::string& error) {
  if (!(speed >= 0.0)) {
    error = "replay speed must not be negative";
    return -1;
  }
  std::vector<CThostFtdcDepthMarketDataField> ticks;
  if (!readTickFile(path, ticks, error)) return -1;
  stop();
  {
    World& w = World::get();
    std::lock_guard<std::mutex> lock(w.mu);
    std::set<std::string> seen;
    for (const auto& tick : ticks) {
      const std::string id = getText(tick.InstrumentID);
      if (!seen.insert(id).second) continue;
      // The recorded day's band, so orders are checked against the prices the file trades at.
      w.broker.setPriceBand(id, tick.PreSettlementPrice, tick.UpperLimitPrice, tick.LowerLimitPrice);
      w.market.markReplayed(id);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  stop_.store(false);
  delivered_ = 0;
  total_ = static_cast<long long>(ticks.size());
  finished_ = false;
  thread_ = std::thread(&Replay::run, this, std::move(ticks), speed);
  return total_;
}

void Replay::stop() {
  std::thread running;
  {
    std::lock_guard<std::mutex> lock(mu_);
    running = std::move(thread_);
  }
  if (!running.joinable()) return;
  stop_.store(true);
  running.join();
}

void Replay::progress(long long& delivered, long long& total) {
  std::lock_guard<std::mutex> lock(mu_);
  delivered = delivered_;
  total = total_;
}

bool Replay::wait(std::int64_t timeoutMicros) {
  std::unique_lock<std::mutex> lock(mu_);
  if (timeoutMicros < 0) {
    cv_.wait(lock, [this] { return finished_; });
    return true;
  }
  return cv_.wait_for(lock, std::chrono::microseconds(timeoutMicros), [this] { return finished_; });
}

void Replay::run(std::vector<CThostFtdcDepthMarketDataField> ticks, double speed) {
  World& w = World::get();
  const std::int64_t startedAt = monotonicMicros();
  long long firstMillis = -1;
  long long previousMillis = -1;
  long long dayOffset = 0;
  for (const auto& tick : ticks) {
    if (stop_.load()) break;
    if (speed > 0.0) {
      long long millis = tickMillis(tick);
      if (millis >= 0) {
        // A night session runs past midnight: times that jump back by hours belong to the next day.
        if (previousMillis >= 0 && millis + dayOffset < previousMillis - kDayMillis / 2) dayOffset += kDayMillis;
        millis += dayOffset;
        previousMillis = millis;
        if (firstMillis < 0) firstMillis = millis;
        const std::int64_t due = startedAt + static_cast<std::int64_t>((millis - firstMillis) * 1000.0 / speed);
        while (!stop_.load() && monotonicMicros() < due) sleepFor(std::min<std::int64_t>(due - monotonicMicros(), 2000));
      }
    }
    {
      std::lock_guard<std::mutex> lock(w.mu);
      std::uint64_t sequence = 0;
      if (w.market.push(tick)) w.market.snapshot(getText(tick.InstrumentID), &sequence);
      w.marketMovedLocked(tick, sequence, true);
    }
    if (speed == 0.0) waitDrained(stop_);
    std::lock_guard<std::mutex> lock(mu_);
    ++delivered_;
  }
  waitDrained(stop_);
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

}  // namespace qvsim

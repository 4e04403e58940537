#include "core/replay/replay.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "core/exchange/exchange_clock.h"
#include "core/sessions/lockstep.h"
#include "core/text/fields.h"
#include "core/world/world.h"

namespace qvsim {

namespace {

constexpr int kDayMillis = 24 * 3600 * 1000;
constexpr std::int64_t kPaceSliceMicros = 2000;

int tickDate(const CThostFtdcDepthMarketDataField& tick) {
  const int action = parseDate(tick.ActionDay, strnlen(tick.ActionDay, sizeof(tick.ActionDay)));
  return action != 0 ? action : parseDate(tick.TradingDay, strnlen(tick.TradingDay, sizeof(tick.TradingDay)));
}

// A trader logged in on the scenario's day keeps it: its records and its kept day stay on the day
// of its login.
bool anyTraderLoggedInLocked() {
  for (const Endpoint* e : World::get().endpoints) {
    if (!e->loggedInInvestorLocked().empty()) return true;
  }
  return false;
}

}  // namespace

Replay& Replay::get() {
  static Replay* replay = [] {
    auto* created = new Replay();
    World::get().setTimeline(created);
    return created;
  }();
  return *replay;
}

namespace {

// Reads a tick file against the exchange as it stands (its instruments, sessions and calendar, and
// the strictness of its settings), touching nothing of it. The world's lock is held only while
// those are copied, so several files may be read at once.
bool readAgainstExchange(const std::string& path, TickFile& file, std::string& error) {
  World& w = World::get();
  std::unordered_map<std::string, std::string> exchanges;
  TickReadOptions options;
  TradingHours hours;
  Calendar calendar;
  {
    std::lock_guard<std::mutex> lock(w.mu);
    for (const auto& [id, instrument] : w.broker.instruments()) exchanges.emplace(id, instrument.def.exchangeId);
    options.strict = w.settings.strictTicks;
    // An exchange that trades at any hour has no sessions to read a file by.
    if (!w.broker.exchange().tradesAtAnyHour()) {
      hours = w.broker.exchange().hours();
      calendar = w.broker.exchange().calendar();
      options.hours = &hours;
      options.calendar = &calendar;
    }
  }
  const ExchangeLookup lookup = [&exchanges](std::string_view id) -> const std::string* {
    auto it = exchanges.find(std::string(id));
    return it == exchanges.end() ? nullptr : &it->second;
  };
  return readTickFile(path, lookup, options, file, error);
}

}  // namespace

bool Replay::check(const std::string& path, TickFile& file, std::string& error) {
  return readAgainstExchange(path, file, error);
}

long long Replay::open(const std::string& path, std::string& error) {
  stop();
  World& w = World::get();
  TickFile file;
  if (!readAgainstExchange(path, file, error)) return -1;
  const long long count = static_cast<long long>(file.ticks.size());
  std::lock_guard<std::mutex> lock(w.mu);
  for (const TickInstrument& instrument : file.instruments) {
    // The recorded day's band, so orders are checked against the prices the file trades at.
    if (instrument.ticks > 0) {
      const auto& first = file.ticks[instrument.firstRow];
      w.broker.setPriceBand(instrument.instrumentId, first.PreSettlementPrice, first.UpperLimitPrice,
                            first.LowerLimitPrice);
    }
    w.market.markReplayed(instrument.instrumentId);
  }
  if (!file.ticks.empty()) {
    // The exchange opens on the file's day: a login from now on reports its trading day, and
    // the clock stands at its first snapshot until the replay plays.
    const auto& first = file.ticks.front();
    const std::string day = getText(first.TradingDay);
    if (parseDate(day.data(), day.size()) != 0 && !anyTraderLoggedInLocked()) w.broker.setTradingDay(day);
    setReplayedTime(tickDate(first), static_cast<int>(std::max(0LL, dayMillis(getText(first.UpdateTime), first.UpdateMillisec))));
  }
  file_ = std::move(file);
  opened_ = true;
  cursor_ = 0;
  clockMillis_ = -1;
  delayed_.clear();
  delivered_.store(0);
  total_.store(count);
  return count;
}

bool Replay::play(double speed, std::string& error) {
  if (!(speed >= 0.0)) {
    error = "replay speed must not be negative";
    return false;
  }
  World& w = World::get();
  {
    std::lock_guard<std::mutex> lock(w.mu);
    if (!opened_) {
      error = "no tick file is open to replay";
      return false;
    }
    opened_ = false;
    playing_ = true;
    speed_ = speed;
    active_.store(true);
    Lockstep::get().setOn(true);
  }
  std::lock_guard<std::mutex> lock(mu_);
  stop_.store(false);
  finished_ = false;
  kicked_ = true;
  thread_ = std::thread(&Replay::run, this);
  return true;
}

long long Replay::start(const std::string& path, double speed, std::string& error) {
  if (!(speed >= 0.0)) {
    error = "replay speed must not be negative";
    return -1;
  }
  const long long count = open(path, error);
  if (count < 0 || !play(speed, error)) return -1;
  return count;
}

void Replay::stop() {
  std::thread running;
  {
    std::lock_guard<std::mutex> lock(mu_);
    running = std::move(thread_);
    stop_.store(true);
    cv_.notify_all();
  }
  if (running.joinable()) running.join();
}

void Replay::progress(long long& delivered, long long& total) {
  delivered = delivered_.load();
  total = total_.load();
}

bool Replay::wait(std::int64_t timeoutMicros) {
  std::unique_lock<std::mutex> lock(mu_);
  if (timeoutMicros < 0) {
    cv_.wait(lock, [this] { return finished_; });
    return true;
  }
  return cv_.wait_for(lock, std::chrono::microseconds(timeoutMicros), [this] { return finished_; });
}

std::vector<TickInstrument> Replay::instruments() {
  std::lock_guard<std::mutex> lock(World::get().mu);
  return file_.instruments;
}

NormalisationCounts Replay::normalised() {
  std::lock_guard<std::mutex> lock(World::get().mu);
  return file_.normalised;
}

std::vector<std::string> Replay::tradingDays() {
  std::lock_guard<std::mutex> lock(World::get().mu);
  return file_.tradingDays;
}

void Replay::onQuiet(bool here) {
  if (!active_.load(std::memory_order_acquire)) return;
  if (here) {
    std::lock_guard<std::mutex> lock(World::get().mu);
    advanceLocked();
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  kicked_ = true;
  cv_.notify_all();
}

bool Replay::delaysRequestsLocked() const {
  return playing_ && clockMillis_ >= 0 && World::get().scenario.orderLatencyMillis > 0;
}

void Replay::delayLocked(const Endpoint* from, std::function<void()> arrive) {
  const long long latency = World::get().scenario.orderLatencyMillis;
  const ExchangeTime now = exchangeNow();
  delayed_.push_back(Delayed{from, clockMillis_ + latency, now.date,
                             static_cast<int>(std::min<long long>(now.millis + latency, kDayMillis - 1)),
                             std::move(arrive)});
}

void Replay::forgetRequestsLocked(const Endpoint* from) {
  std::erase_if(delayed_, [from](const Delayed& d) { return d.from == from; });
}

void Replay::arriveLocked(long long untilMillis) {
  while (!delayed_.empty() && delayed_.front().dueMillis <= untilMillis) {
    Delayed request = std::move(delayed_.front());
    delayed_.pop_front();
    setReplayedTime(request.date, request.millisOfDay);
    request.arrive();
  }
}

void Replay::stepLocked() {
  World& w = World::get();
  const CThostFtdcDepthMarketDataField& tick = file_.ticks[cursor_];
  const long long at = file_.millis[cursor_];
  if (at >= 0) {
    arriveLocked(at);
    clockMillis_ = at;
    setReplayedTime(tickDate(tick), static_cast<int>(dayMillis(std::string_view(tick.UpdateTime, 8), tick.UpdateMillisec)));
  }
  w.marketMovedLocked(tick, w.market.push(tick));
  ++cursor_;
  delivered_.store(static_cast<long long>(cursor_), std::memory_order_relaxed);
}

void Replay::advanceLocked() {
  if (!playing_) return;
  Lockstep& lockstep = Lockstep::get();
  while (!stop_.load(std::memory_order_relaxed) && lockstep.quiet()) {
    if (cursor_ < file_.ticks.size()) {
      if (speed_ > 0.0) {
        // The replay's thread paces the snapshots; it waits for this quiet to send the next.
        std::lock_guard<std::mutex> lock(mu_);
        kicked_ = true;
        cv_.notify_all();
        return;
      }
      stepLocked();
    } else if (!delayed_.empty()) {
      arriveLocked(LLONG_MAX);
    } else {
      finishLocked();
      return;
    }
  }
}

void Replay::finishLocked() {
  playing_ = false;
  active_.store(false);
  delayed_.clear();
  Lockstep::get().setOn(false);
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

void Replay::run() {
  World& w = World::get();
  if (speed_ > 0.0) {
    // Paced: each snapshot at its own time, s times faster, and, as in lock step, not before
    // everything the one before caused was delivered: the pace only holds snapshots back, so a
    // paced run trades exactly as a lock-step one, and falls behind the clock rather than ahead
    // of a slow strategy. The end waits for what the last one caused.
    const std::int64_t startedAt = monotonicMicros();
    long long first = -1;
    for (;;) {
      long long at = -1;
      {
        std::lock_guard<std::mutex> lock(w.mu);
        if (cursor_ >= file_.ticks.size()) break;
        at = file_.millis[cursor_];
      }
      if (at >= 0) {
        if (first < 0) first = at;
        const std::int64_t due = startedAt + static_cast<std::int64_t>((at - first) * 1000.0 / speed_);
        for (std::int64_t now = monotonicMicros(); !stop_.load() && now < due; now = monotonicMicros()) {
          std::unique_lock<std::mutex> lock(mu_);
          cv_.wait_for(lock, std::chrono::microseconds(std::min(due - now, kPaceSliceMicros)),
                       [this] { return stop_.load(); });
        }
      }
      if (stop_.load()) break;
      std::unique_lock<std::mutex> world(w.mu);
      while (!stop_.load() && !Lockstep::get().quiet()) {
        world.unlock();
        {
          std::unique_lock<std::mutex> lock(mu_);
          cv_.wait_for(lock, std::chrono::microseconds(kPaceSliceMicros),
                       [this] { return kicked_ || stop_.load(); });
          kicked_ = false;
        }
        world.lock();
      }
      if (stop_.load()) break;
      stepLocked();
    }
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return kicked_ || stop_.load() || finished_; });
      if (finished_) return;
      kicked_ = false;
    }
    std::lock_guard<std::mutex> lock(w.mu);
    if (stop_.load()) {
      if (playing_) finishLocked();
      return;
    }
    advanceLocked();
  }
}

}  // namespace qvsim

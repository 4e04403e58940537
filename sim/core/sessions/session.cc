#include "core/sessions/session.h"

#include <chrono>

#include "core/sessions/lockstep.h"
#include "core/world/world.h"

namespace qvsim {

namespace {

// How often an idle library thread looks at its front and its market-data stream.
constexpr std::int64_t kIdleMicros = 2000;
constexpr std::int64_t kQueryWindowMicros = 1000000;

}  // namespace

Session::Session(Kind kind) : kind_(kind) {}

Session::~Session() = default;

void Session::startThread() {
  // The world sees an object only from Init on, when it is fully built.
  World& w = World::get();
  std::lock_guard<std::mutex> worldLock(w.mu);
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_ || stop_) return;
  started_ = true;
  w.endpoints.push_back(this);
  thread_ = std::thread([this] { run(); });
}

void Session::releaseSelf() {
  {
    World& w = World::get();
    std::lock_guard<std::mutex> lock(w.mu);
    std::erase(w.endpoints, this);
    w.timeline().forgetRequestsLocked(this);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      freeOnExit_ = true;
      return;
    }
    thread_.join();
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return joiners_ == 0; });
  }
  delete this;
}

int Session::joinThread() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++joiners_;
  cv_.wait(lock, [this] { return stop_; });
  --joiners_;
  cv_.notify_all();
  return 0;
}

void Session::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
}

bool Session::stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

bool Session::connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

void Session::pushLocked(Item item) {
  Lockstep& lockstep = Lockstep::get();
  if (lockstep.on()) {
    item.ordered = true;
    ++ordered_;
    lockstep.enqueue(this);
  }
  queue_.push_back(std::move(item));
}

void Session::postUnsolicited(Call call) {
  std::lock_guard<std::mutex> lock(mutex_);
  pushLocked(Item{monotonicMicros(), std::move(call), false, generation_});
  cv_.notify_all();
}

void Session::dropLocked(int reason) {
  onDropLocked();
  int discarded = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return;
    connected_ = false;
    ++generation_;
    discarded = ordered_;
    ordered_ = 0;
    queue_.clear();
    held_.clear();
    pending_ = 0;
    queryTimes_.clear();
  }
  if (discarded > 0 && Lockstep::get().forget(this, discarded)) World::get().timeline().onQuiet(false);
  std::lock_guard<std::mutex> lock(mutex_);
  pushLocked(Item{monotonicMicros(), disconnectedCall(reason), false, generation_});
  cv_.notify_all();
}

int Session::releaseHeldLocked() {
  const std::int64_t due = monotonicMicros() + World::get().settings.latencyMicros;
  std::lock_guard<std::mutex> lock(mutex_);
  int requests = 0;
  for (Item& item : held_) {
    item.due = due;
    if (item.endsRequest) ++requests;
    pushLocked(std::move(item));
  }
  held_.clear();
  cv_.notify_all();
  return requests;
}

int Session::admitLocked(const char* name, const void* record, std::size_t size, int requestId, bool isQuery) {
  World& w = World::get();
  const char api = static_cast<char>(kind_);
  RequestRecord entry;
  entry.api = api;
  entry.name = name;
  entry.requestId = requestId;
  const auto* bytes = static_cast<const unsigned char*>(record);
  entry.bytes.assign(bytes, bytes + size);

  int result = 0;
  Rule rule;
  if (w.takeRule(api, name, false, rule)) {
    result = rule.code;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t now = monotonicMicros();
    if (!connected_) {
      result = -1;
    } else if (isQuery) {
      while (!queryTimes_.empty() && queryTimes_.front() <= now - kQueryWindowMicros) queryTimes_.pop_front();
      if (w.settings.maxPending > 0 && pending_ >= w.settings.maxPending) {
        result = -2;
      } else if (w.settings.queriesPerSecond > 0 &&
                 static_cast<int>(queryTimes_.size()) >= w.settings.queriesPerSecond) {
        result = -3;
      } else {
        queryTimes_.push_back(now);
      }
    }
  }
  entry.result = result;
  w.logLocked(std::move(entry));
  return result;
}

void Session::answerLocked(const char* name, std::vector<Call> calls) {
  if (calls.empty()) return;
  World& w = World::get();
  Rule rule;
  const bool hold = w.takeRule(static_cast<char>(kind_), name, true, rule);
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t due = monotonicMicros() + w.settings.latencyMicros;
  ++pending_;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    Item item{due, std::move(calls[i]), i + 1 == calls.size(), generation_};
    if (hold) {
      held_.push_back(std::move(item));
    } else {
      pushLocked(std::move(item));
    }
  }
  cv_.notify_all();
}

void Session::tryConnect(std::int64_t nowMicros) {
  World& w = World::get();
  std::lock_guard<std::mutex> worldLock(w.mu);
  if (!w.frontUpLocked(static_cast<char>(kind_), nowMicros)) return;
  onConnectLocked();
  std::lock_guard<std::mutex> lock(mutex_);
  if (connected_ || stop_) return;
  connected_ = true;
  pushLocked(Item{nowMicros, connectedCall(), false, generation_});
}

void Session::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const std::int64_t now = monotonicMicros();
    if (!connected_) {
      lock.unlock();
      tryConnect(now);
      lock.lock();
      if (stop_) break;
    }
    if (!queue_.empty() &&
        (queue_.front().ordered ? Lockstep::get().mayDeliver(this, now) : queue_.front().due <= now)) {
      Item item = std::move(queue_.front());
      queue_.pop_front();
      if (item.ordered) --ordered_;
      // A request stops waiting as its last answer goes out, so a client that sends the next
      // request from inside that callback is not refused for it.
      if (item.endsRequest && item.generation == generation_ && pending_ > 0) --pending_;
      lock.unlock();
      item.call();
      // The turn passes on only after the callback returned: what the host asked from inside it
      // is queued behind it by then.
      if (item.ordered && Lockstep::get().finish(this)) World::get().timeline().onQuiet(true);
      lock.lock();
      continue;
    }
    lock.unlock();
    onIdle(now);
    lock.lock();
    if (stop_) break;
    std::int64_t wakeAt = now + kIdleMicros;
    if (!queue_.empty() && !queue_.front().ordered) wakeAt = std::min(wakeAt, queue_.front().due);
    // The turn may have come while onIdle ran; wake() notifies under mutex_, so a check here is
    // enough not to miss it.
    if (!queue_.empty() && queue_.front().ordered && Lockstep::get().isTurn(this)) continue;
    const std::int64_t wait = wakeAt - monotonicMicros();
    if (wait > 0) cv_.wait_for(lock, std::chrono::microseconds(wait));
  }
  ordered_ = 0;
  queue_.clear();
  lock.unlock();
  if (Lockstep::get().retire(this)) World::get().timeline().onQuiet(false);
  if (freeOnExit_) {
    thread_.detach();
    {
      std::unique_lock<std::mutex> waitLock(mutex_);
      cv_.wait(waitLock, [this] { return joiners_ == 0; });
    }
    delete this;
  }
}

}  // namespace qvsim

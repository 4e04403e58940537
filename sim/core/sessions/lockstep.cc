#include "core/sessions/lockstep.h"

#include <algorithm>

#include "core/sessions/session.h"

namespace qvsim {

Lockstep& Lockstep::get() {
  static Lockstep* lockstep = new Lockstep();
  return *lockstep;
}

void Lockstep::enqueue(Session* session) {
  std::lock_guard<std::mutex> lock(mu_);
  order_.push_back(session);
  if (order_.size() == 1) {
    frontSince_.store(monotonicMicros(), std::memory_order_relaxed);
    front_.store(session, std::memory_order_release);
  }
}

bool Lockstep::mayDeliver(const Session* session, std::int64_t nowMicros) const {
  const Session* front = front_.load(std::memory_order_acquire);
  return front == session ||
         (front != nullptr && nowMicros - frontSince_.load(std::memory_order_relaxed) > kStallMicros);
}

bool Lockstep::handOver(std::unique_lock<std::mutex>& lock, const Session* self, Session* before) {
  Session* next = order_.empty() ? nullptr : order_.front();
  if (next != before) frontSince_.store(monotonicMicros(), std::memory_order_relaxed);
  front_.store(next, std::memory_order_release);
  if (next == nullptr) return true;
  if (next == self || next == before) return false;
  ++waking_;
  lock.unlock();
  next->wake();
  lock.lock();
  if (--waking_ == 0) woken_.notify_all();
  return false;
}

bool Lockstep::finish(Session* session) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!order_.empty() && order_.front() == session) {
    order_.pop_front();
    return handOver(lock, session, nullptr);
  }
  // Delivered out of turn past a blocked callback: only its own place goes.
  auto it = std::find(order_.begin(), order_.end(), session);
  if (it != order_.end()) order_.erase(it);
  return order_.empty();
}

bool Lockstep::forget(const Session* session, int count) {
  std::unique_lock<std::mutex> lock(mu_);
  if (order_.empty()) return false;
  Session* before = order_.front();
  for (auto it = order_.end(); count > 0 && it != order_.begin();) {
    --it;
    if (*it != session) continue;
    it = order_.erase(it);
    --count;
  }
  return handOver(lock, session, before);
}

bool Lockstep::retire(const Session* session) {
  std::unique_lock<std::mutex> lock(mu_);
  bool quiet = false;
  if (!order_.empty()) {
    Session* before = order_.front();
    std::erase(order_, session);
    quiet = handOver(lock, session, before);
  }
  // A thread waking now may have picked this session before it left the order.
  woken_.wait(lock, [this] { return waking_ == 0; });
  return quiet;
}

bool Lockstep::quiet() {
  std::lock_guard<std::mutex> lock(mu_);
  return order_.empty();
}

}  // namespace qvsim

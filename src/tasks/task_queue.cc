#include "tasks/task_queue.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/clock.h"
#include "base/text.h"

namespace qv {
namespace {

// A time to store in lastExchange, sentAt or answeredAt. Those fields give -1 a meaning of its own
// and treat 0 as "never", so a time read in the first microsecond after load is stored as 1.
int64_t stamp() { return std::max<int64_t>(nowMicros(), 1); }

void copyCommand(CQVQueryCommandField& to, const CQVQueryCommandField& from) {
  copyText(to.ExchangeID, from.ExchangeID);
  copyText(to.StandardID, from.StandardID);
  copyText(to.BusinessID, from.BusinessID);
  copyText(to.CombineBusinessFlag, from.CombineBusinessFlag);
  to.Price = from.Price;
  to.Volume = from.Volume;
  copyText(to.StartTime, from.StartTime);
  copyText(to.EndTime, from.EndTime);
  copyText(to.StartDate, from.StartDate);
  copyText(to.EndDate, from.EndDate);
  copyText(to.BankID, from.BankID);
  copyText(to.BankPassword, from.BankPassword);
  copyText(to.AccountPassword, from.AccountPassword);
  copyText(to.NodeID, from.NodeID);
}

}  // namespace

TaskQueue::TaskQueue(TaskOwner& owner, int64_t defaultGap, int64_t minTimeout)
    : owner_(owner), defaultGap_(defaultGap), minTimeout_(minTimeout) {}

TaskQueue::~TaskQueue() = default;

std::unique_ptr<Task> TaskQueue::makeTask(int32_t taskId, int32_t repeatCount, uint8_t retry,
                                          int64_t gap, int64_t timeout) const {
  // Value-initialised, so every byte the caller does not write is zero.
  auto task = std::make_unique<Task>();
  task->retry = retry;
  task->runs = 0;
  task->repeatCount = repeatCount;
  task->sentAt = -1;
  task->timeout = std::max(timeout, minTimeout_);
  task->answeredAt = -1;
  task->gap = gap < 0 ? defaultGap_ : gap;
  task->taskId = taskId;
  return task;
}

int32_t TaskQueue::submit(int32_t taskId, const CQVQueryCommandField* command, int32_t repeatCount,
                          uint8_t retry, int64_t gap, int64_t timeout) {
  std::unique_ptr<Task> task = makeTask(taskId, repeatCount, retry, gap, timeout);
  // Texts are re-terminated within their own width: a host text that fills its whole array is cut
  // by one byte rather than carried on unterminated.
  if (command != nullptr) copyCommand(task->command, *command);
  {
    SpinFlagGuard hold(lock_);
    hostTasks_.push_back(std::move(task));
  }
  signalWork();
  return 0;
}

void TaskQueue::submitSessionStep(int32_t taskId, int64_t gap, int64_t timeout) {
  std::unique_ptr<Task> task = makeTask(taskId, 1, 1, gap, timeout);
  {
    SpinFlagGuard hold(lock_);
    sessionSteps_.push_back(std::move(task));
  }
  signalWork();
}

TaskQueue::Lane* TaskQueue::nextLane() {
  if (!sessionSteps_.empty()) return &sessionSteps_;
  if (!hostTasks_.empty() && owner_.hostTasksMayRun()) return &hostTasks_;
  return nullptr;
}

void TaskQueue::endOutstandingRun(int64_t now, bool keep) {
  Lane& lane = *outstanding_;
  outstanding_ = nullptr;
  Task& task = *lane.front();
  task.answeredAt = now;
  task.sentAt = -1;
  ++task.runs;
  lastExchange_ = now;
  if (keep) return;
  std::unique_ptr<Task> done = std::move(lane.front());
  lane.pop_front();
  if (done->runs < done->repeatCount) lane.push_back(std::move(done));
}

int64_t TaskQueue::executeStep() {
  // Held elsewhere only for a moment: the worker looks again soon, without spinning on it.
  if (!lock_.tryLock()) return kBusyRetry;
  int64_t due = kNoneDue;
  const TurnEvent event = stepLocked(due);
  lock_.unlock();
  raise(event);
  return due;
}

void TaskQueue::signalWork() {
  {
    std::lock_guard<std::mutex> hold(workMutex_);
    workPending_ = true;
  }
  workArrived_.notify_one();
}

void TaskQueue::waitForWork(int64_t micros) {
  std::unique_lock<std::mutex> hold(workMutex_);
  if (micros > 0) {
    workArrived_.wait_for(hold, std::chrono::microseconds(micros), [this] { return workPending_; });
  }
  workPending_ = false;
}

TaskQueue::TurnEvent TaskQueue::stepLocked(int64_t& due) {
  TurnEvent event;
  if (outstanding_ != nullptr) {
    const Task& task = *outstanding_->front();
    if (nowMicros() - task.sentAt < task.timeout) return event;
    event.kind = TurnEvent::Kind::kTimeout;
    event.taskId = task.taskId;
    copyText(event.userId, task.userId);
    endOutstandingRun(stamp(), task.retry != 0);
    return event;
  }

  Lane* lane = nextLane();
  if (lane == nullptr) return event;
  Task& task = *lane->front();
  if (lastExchange_ > 0) {
    const int64_t waited = nowMicros() - lastExchange_;
    if (waited < task.gap) {
      due = task.gap - waited;
      return event;
    }
  }

  const int64_t result = owner_.runQueryCommand(task);
  event.taskId = task.taskId;
  event.result = result;
  copyText(event.userId, task.userId);
  if (result == kLoginWhenConnected) {
    // Nothing was sent and nothing is reported: the login's own answer will be.
    lane->pop_front();
    return TurnEvent{};
  }
  if (result == kInvalidTaskId) {
    // Nothing was sent: the next task may go on the next turn.
    event.kind = TurnEvent::Kind::kUnknownTask;
    lane->pop_front();
    lastExchange_ = -1;
    return event;
  }
  task.sentAt = stamp();
  if (result == 0) {
    task.answeredAt = -1;
    outstanding_ = lane;
    return event;
  }
  // Refused by the library: the attempt counts as a run and ends the exchange, so the task is
  // tried again no sooner than one gap later.
  event.kind = TurnEvent::Kind::kRefusedSend;
  lastExchange_ = task.sentAt;
  task.answeredAt = task.sentAt;
  ++task.runs;
  // A market-data login with no market-data client to send it is not retried: it could never go
  // out, and every task behind it would wait for ever.
  const bool keep = task.retry != 0 && result != kNoMarketDataClient;
  if (!keep && task.runs >= task.repeatCount) lane->pop_front();
  return event;
}

void TaskQueue::raise(const TurnEvent& event) {
  switch (event.kind) {
    case TurnEvent::Kind::kNone:
      return;
    case TurnEvent::Kind::kTimeout:
      owner_.raiseTaskEvent(event.taskId, event.userId, kResponseTimeout, kResponseTimeoutMessage);
      return;
    case TurnEvent::Kind::kUnknownTask:
      owner_.raiseTaskEvent(event.taskId, event.userId, static_cast<int32_t>(kInvalidTaskId),
                            kInvalidTaskIdMessage);
      return;
    case TurnEvent::Kind::kRefusedSend:
      owner_.raiseRefusedSend(event.taskId, event.userId, event.result);
      return;
  }
}

void TaskQueue::complete(int32_t taskId, int32_t requestId, int32_t errorId) {
  if (completeLocked(taskId, requestId, errorId)) signalWork();
}

bool TaskQueue::completeLocked(int32_t taskId, int32_t requestId, int32_t errorId) {
  Lane droppedSteps;
  Lane droppedTasks;
  SpinFlagGuard hold(lock_);
  if (outstanding_ == nullptr) return false;
  const Task& task = *outstanding_->front();
  if (task.taskId != taskId) return false;
  if (requestId != kAnyRequest && requestId != task.requestId) return false;
  // A failed answer keeps a retried task at the front, unless the session is not logged in: then
  // only a new login can help, and the task must not stand in its way.
  const bool keep = errorId != 0 && errorId != kErrorNotLoggedIn && task.retry != 0;
  endOutstandingRun(stamp(), keep);
  // A completed logout ends the session's queued work.
  if (taskId == kLogoutTaskId) {
    droppedSteps.swap(sessionSteps_);
    droppedTasks.swap(hostTasks_);
  }
  return true;
}

void TaskQueue::reset() {
  {
    Lane droppedSteps;
    Lane droppedTasks;
    SpinFlagGuard hold(lock_);
    droppedSteps.swap(sessionSteps_);
    droppedTasks.swap(hostTasks_);
    outstanding_ = nullptr;
    lastExchange_ = stamp();
  }
  signalWork();
}

size_t TaskQueue::size() const {
  SpinFlagGuard hold(lock_);
  return sessionSteps_.size() + hostTasks_.size();
}

}  // namespace qv

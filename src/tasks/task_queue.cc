#include "tasks/task_queue.h"

#include <algorithm>
#include <utility>

#include "base/clock.h"
#include "base/text.h"

namespace qv {
namespace {

// A time to store in lastExchange, sentAt or answeredAt. Those fields give -1 and 0 a meaning of
// their own, so a time read in the first microsecond after load is stored as 1: otherwise a refused
// send at time 0 would look like an outstanding request and stall the queue for good.
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

int32_t TaskQueue::submit(int32_t taskId, const CQVQueryCommandField* command, int32_t repeatCount,
                          uint8_t retry, int64_t gap, int64_t timeout) {
  // Value-initialised, so every byte the copy below does not write is zero.
  auto task = std::make_unique<Task>();
  task->retry = retry;
  task->runs = 0;
  task->repeatCount = repeatCount;
  task->sentAt = -1;
  task->timeout = std::max(timeout, minTimeout_);
  task->answeredAt = -1;
  task->gap = gap < 0 ? defaultGap_ : gap;
  task->taskId = taskId;
  // Texts are re-terminated within their own width: a host text that fills its whole array is cut
  // by one byte rather than carried on unterminated.
  if (command != nullptr) copyCommand(task->command, *command);

  SpinFlagGuard hold(lock_);
  tasks_.push_back(std::move(task));
  return 0;
}

Task* TaskQueue::front() {
  while (!tasks_.empty() && tasks_.front() == nullptr) tasks_.pop_front();
  return tasks_.empty() ? nullptr : tasks_.front().get();
}

void TaskQueue::finishFrontRun(bool keep) {
  if (keep) return;
  std::unique_ptr<Task> task = std::move(tasks_.front());
  tasks_.pop_front();
  if (task->runs < task->repeatCount) tasks_.push_back(std::move(task));
}

void TaskQueue::executeStep() {
  if (!lock_.tryLock()) return;
  stepLocked();
  lock_.unlock();
}

void TaskQueue::stepLocked() {
  Task* task = front();
  if (task == nullptr) return;

  int64_t now = nowMicros();
  if (task->sentAt > 0 && task->answeredAt < 0 && now - task->sentAt >= task->timeout) {
    owner_.raiseTaskEvent(task->taskId, task->userId, kResponseTimeout, kResponseTimeoutMessage);
    now = stamp();
    task->answeredAt = now;
    lastExchange_.exchange(now);
    task->sentAt = -1;
    ++task->runs;
    finishFrontRun(task->retry != 0);
    return;
  }

  const int64_t last = lastExchange_.load();
  if (last == 0) return;  // a request is outstanding
  if (last > 0 && nowMicros() - last < task->gap) return;

  const int64_t result = owner_.runQueryCommand(*task);
  if (result == kInvalidTaskId) {
    // Nothing was sent: the next task may go on the next turn.
    tasks_.pop_front();
    lastExchange_.exchange(-1);
    return;
  }
  task->sentAt = stamp();
  if (result == 0) {
    lastExchange_.exchange(0);
    task->answeredAt = -1;
    return;
  }
  // Refused by the library (the request operation raised its own event): the attempt counts as a
  // run and ends the exchange, so the task is tried again no sooner than one gap later.
  lastExchange_.exchange(task->sentAt);
  task->answeredAt = task->sentAt;
  ++task->runs;
  if (task->retry == 0 && task->runs >= task->repeatCount) tasks_.pop_front();
}

void TaskQueue::complete(int32_t taskId, bool failed) {
  std::deque<std::unique_ptr<Task>> discarded;
  {
    SpinFlagGuard hold(lock_);
    Task* task = front();
    if (task == nullptr || task->taskId != taskId) return;
    const int64_t now = stamp();
    task->answeredAt = now;
    lastExchange_.exchange(now);
    task->sentAt = -1;
    ++task->runs;
    finishFrontRun(failed && task->retry != 0);
    // A completed logout ends the session's queued work.
    if (taskId == kLogoutTaskId) discarded.swap(tasks_);
  }
}

void TaskQueue::reset() {
  lastExchange_.exchange(stamp());
  std::deque<std::unique_ptr<Task>> discarded;
  SpinFlagGuard hold(lock_);
  discarded.swap(tasks_);
}

size_t TaskQueue::size() const {
  SpinFlagGuard hold(lock_);
  return tasks_.size();
}

}  // namespace qv

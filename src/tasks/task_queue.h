// TaskQueue: the per-client queue that sends one request at a time to the trading system, keeps a
// gap between one exchange and the next, times out requests that get no answer, and repeats or
// retries tasks. Owned by the trading client, which also runs its tasks (TaskOwner).
//
// Threads: submit runs on host threads and the trader callback thread; complete and reset on the
// callback threads of the trader and market-data libraries; executeStep on the client's worker
// thread. One SpinFlag guards the list and every field of the tasks in it. submit, complete, reset
// and size spin for it; executeStep only tries it and gives up for this turn when it is held.
//
// Lock order: queue lock, then interpreter lock. executeStep holds the queue lock while it calls the
// owner's runQueryCommand and while it raises the time-out event, and both may take the interpreter
// lock; no code may wait for the queue lock while holding the interpreter lock.
//
// lastExchange is read and written with atomic exchanges, also outside the lock:
//   -1  nothing outstanding, the front task may be sent at once;
//    0  a request is outstanding, nothing is sent;
//   >0  time (µs) at which the last exchange ended; the front task may go once its gap has passed.
#ifndef QV_TASKS_TASK_QUEUE_H
#define QV_TASKS_TASK_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "base/spin_lock.h"
#include "base/thread_annotations.h"
#include "tasks/task.h"

namespace qv {

class TaskQueue {
 public:
  // defaultGap replaces a negative gap at submission; minTimeout is the least time-out of any task.
  TaskQueue(TaskOwner& owner, int64_t defaultGap, int64_t minTimeout);
  ~TaskQueue();  // destroys the tasks it holds
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Appends a task; `command` may be null (all-zero command). Returns 0.
  int32_t submit(int32_t taskId, const CQVQueryCommandField* command, int32_t repeatCount, uint8_t retry,
                 int64_t gap, int64_t timeout) QV_EXCLUDES(lock_);
  // One turn of the worker: times out, paces and sends the front task. Returns at once when the
  // lock is held elsewhere.
  void executeStep() QV_EXCLUDES(lock_);
  // The last part of the response of `taskId` arrived; `failed` when it carried an error. Only the
  // front task can be completed; a response for any other id changes nothing.
  void complete(int32_t taskId, bool failed) QV_EXCLUDES(lock_);
  // Drops every task; the next send waits one gap.
  void reset() QV_EXCLUDES(lock_);
  // Entries queued.
  size_t size() const QV_EXCLUDES(lock_);

 private:
  // The body of executeStep, once the lock is held.
  void stepLocked() QV_REQUIRES(lock_);
  // Drops empty entries at the front; returns the front task or null when the queue is empty.
  Task* front() QV_REQUIRES(lock_);
  // Ends the front task's run: it stays at the front when `keep`, else it goes to the back while
  // it has runs left, else it is destroyed.
  void finishFrontRun(bool keep) QV_REQUIRES(lock_);

  TaskOwner& owner_;
  const int64_t defaultGap_;
  const int64_t minTimeout_;
  mutable SpinFlag lock_;
  std::deque<std::unique_ptr<Task>> tasks_ QV_GUARDED_BY(lock_);
  std::atomic<int64_t> lastExchange_{-1};
};

}  // namespace qv

#endif  // QV_TASKS_TASK_QUEUE_H

// TaskQueue: the per-client queue that sends one request at a time to the trading system, keeps a
// gap between one exchange and the next, times out requests that get no answer, and repeats or
// retries tasks. Owned by the trading client, which also runs its tasks (TaskOwner).
//
// Two lanes, each first in first out: the session steps (the start-up chain of every connection)
// and the host's tasks. A session step always goes first; a host task goes only while the owner
// says host tasks may run (the session is ready). Whatever lane it came from, at most one request
// is outstanding, and only the answer to that request (same task id, same request id) ends it.
//
// Threads: submit runs on host threads and the trader callback thread; complete and reset on the
// callback threads of the trader and market-data libraries; executeStep on the client's worker
// thread. One SpinFlag guards both lanes, every field of the tasks in them and the exchange state.
// submit, complete, reset and size spin for it; executeStep only tries it and gives up for this
// turn when it is held.
//
// No event is raised with the lock held: executeStep decides under the lock which event a turn
// ends with (time-out, invalid task id, refused send) and raises it after releasing the lock, so a
// host callable may queue tasks from inside any of them. The lock is held while the owner's
// runQueryCommand hands a request to the library (which does not call back on the sending thread),
// so an answer cannot complete a request before the queue has recorded it as sent.
#ifndef QV_TASKS_TASK_QUEUE_H
#define QV_TASKS_TASK_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>

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

  // Appends a host task; `command` may be null (all-zero command). Returns 0.
  int32_t submit(int32_t taskId, const CQVQueryCommandField* command, int32_t repeatCount, uint8_t retry,
                 int64_t gap, int64_t timeout) QV_EXCLUDES(lock_);
  // Appends a session step: no command, one run, retried while it fails, sent ahead of every host
  // task.
  void submitSessionStep(int32_t taskId, int64_t gap, int64_t timeout) QV_EXCLUDES(lock_);
  // executeStep's answer when nothing waits on a gap: the next turn is due only on new work.
  static constexpr int64_t kNoneDue = std::numeric_limits<int64_t>::max();

  // executeStep's answer when the lock was held elsewhere: try again this many µs later.
  static constexpr int64_t kBusyRetry = 1000;

  // One turn of the worker: times out, paces and sends the next task, then raises the event the
  // turn ended with. Returns the µs until the front task's gap has passed when that gap alone
  // held it back, else kNoneDue; returns at once (kBusyRetry) when the lock is held elsewhere.
  int64_t executeStep() QV_EXCLUDES(lock_);
  // Waits up to `micros` for new work: a task queued, a request answered or the queue reset since
  // the last wait. The worker waits here between connected turns, so a session step goes out as
  // soon as its gap allows rather than on the next fixed turn.
  void waitForWork(int64_t micros);
  // The last part of the answer to request `requestId` of task `taskId` arrived, with `errorId`
  // (0 success). It ends the outstanding request only when both ids match; kAnyRequest matches
  // any request of the task (answers that carry no request id). Any other answer changes nothing.
  void complete(int32_t taskId, int32_t requestId, int32_t errorId) QV_EXCLUDES(lock_);
  // Drops every task and any outstanding request; the next send waits one gap.
  void reset() QV_EXCLUDES(lock_);
  // Tasks queued in both lanes.
  size_t size() const QV_EXCLUDES(lock_);

 private:
  using Lane = std::deque<std::unique_ptr<Task>>;

  // The event a turn of the worker ends with, decided under the lock and raised after it.
  struct TurnEvent {
    enum class Kind : uint8_t { kNone, kTimeout, kUnknownTask, kRefusedSend };
    Kind kind = Kind::kNone;
    int32_t taskId = 0;
    int64_t result = 0;
    char userId[sizeof(Task::userId)] = {};
  };

  std::unique_ptr<Task> makeTask(int32_t taskId, int32_t repeatCount, uint8_t retry, int64_t gap,
                                 int64_t timeout) const;
  // The body of executeStep, once the lock is held; `due` gets executeStep's answer.
  TurnEvent stepLocked(int64_t& due) QV_REQUIRES(lock_);
  // complete's body: true when the answer ended the outstanding request.
  bool completeLocked(int32_t taskId, int32_t requestId, int32_t errorId) QV_EXCLUDES(lock_);
  // Ends a waitForWork early (called after lock_ is released).
  void signalWork();
  void raise(const TurnEvent& event) QV_EXCLUDES(lock_);
  // The lane whose front task goes next, or null when none may go.
  Lane* nextLane() QV_REQUIRES(lock_);
  // Ends the outstanding request's run at `now`: the task stays at the front when `keep`, else it
  // goes to the back of its lane while it has runs left, else it is destroyed.
  void endOutstandingRun(int64_t now, bool keep) QV_REQUIRES(lock_);

  TaskOwner& owner_;
  const int64_t defaultGap_;
  const int64_t minTimeout_;
  mutable SpinFlag lock_;
  Lane sessionSteps_ QV_GUARDED_BY(lock_);
  Lane hostTasks_ QV_GUARDED_BY(lock_);
  // The lane whose front task has a request outstanding, or null: one request at a time.
  Lane* outstanding_ QV_GUARDED_BY(lock_) = nullptr;
  // When (µs) the last exchange ended (answer, time-out, refused send, reset); -1 none yet, so the
  // first task goes at once.
  int64_t lastExchange_ QV_GUARDED_BY(lock_) = -1;
  // New work since the last waitForWork; a plain mutex, as the worker sleeps on it.
  std::mutex workMutex_;
  std::condition_variable workArrived_;
  bool workPending_ = false;
};

}  // namespace qv

#endif  // QV_TASKS_TASK_QUEUE_H

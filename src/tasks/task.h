// Task: one queued request of a trading client (a query command or a session step) with its
// pacing, time-out and repetition state, and TaskOwner, the client that runs a queue's tasks.
//
// A Task is allocated zero-filled by TaskQueue and owned by its queue until the queue destroys it;
// every field is guarded by the queue's lock. The owner's runQueryCommand runs on the worker thread
// inside TaskQueue::executeStep with that lock held, so it may read and change the task it is given
// (the request operations store the user id and the request id, cut a currency pair, rename task
// 36) but must not keep the reference past the call.
#ifndef QV_TASKS_TASK_H
#define QV_TASKS_TASK_H

#include <cstdint>

#include "bridge/event_messages.h"
#include "records/cqv_records.h"

namespace qv {

struct Task {
  uint8_t retry;                 // kept at the front on error / time-out / refused send
  int32_t runs;                  // completed runs: responses, time-outs and refused sends
  int32_t repeatCount;           // runs wanted
  int64_t sentAt;                // µs; -1 when nothing outstanding
  int64_t timeout;               // µs; longest wait for a response
  int64_t answeredAt;            // µs; -1 while a request is outstanding
  int64_t gap;                   // µs; least time after the previous exchange before the next send
  int32_t taskId;                // also the event id of its responses
  int32_t requestId;             // request id of the last send; only its answer completes the task
  char userId[16];               // filled by the request operation; user text of the time-out event
  CQVQueryCommandField command;  // TradingDay and UserID are never copied into it
};

// Results and event texts shared by the queue and the request operations.
inline constexpr int64_t kInvalidTaskId = -1003200;
inline constexpr int32_t kResponseTimeout = -1002300;
inline constexpr int32_t kNoMarketDataClient = -1002100;
// A market-data login step that sent nothing because the market-data session is logged in
// already, or logs in by itself as soon as its front connects (or its own login is already under
// way): the step is done.
inline constexpr int32_t kLoginWhenConnected = 1;
inline constexpr int32_t kLogoutTaskId = 35;
inline constexpr int32_t kMarketDataLoginTaskId = 11102;
// The answer of a request that carries no request id: it completes the outstanding request of its
// task id whatever that request's id. Request ids start at 1.
inline constexpr int32_t kAnyRequest = 0;
// The trading system's "not logged in" error: a task refused with it is not kept at the front.
inline constexpr int32_t kErrorNotLoggedIn = 6;
inline constexpr const char* kResponseTimeoutMessage = "Error:Response Timeout.";
inline constexpr const char* kInvalidTaskIdMessage = "Error:Invalid TaskID.";

// Who runs a queue's tasks: the trading client. runQueryCommand and hostTasksMayRun are called by
// the worker thread with the queue lock held: they must not call back into the same queue, raise
// an event or take the interpreter lock. The raise operations are called with no queue lock held,
// so the host callables they reach may call any export, the task exports included.
class TaskOwner {
 public:
  // Sends the task's request: 0 sent (task.requestId names it), -1003200 no request for the task
  // id (the queue drops the task), other: refused by the library. Raises nothing.
  virtual int64_t runQueryCommand(Task& task) = 0;
  // Raises the response event of a task (no record, is-last true), e.g. the time-out event.
  virtual void raiseTaskEvent(int32_t eventId, const char* userId, int32_t errorId, const char* message) = 0;
  // Raises the event of a request the library refused with `result`: kFailToSendMessage.
  virtual void raiseRefusedSend(int32_t taskId, const char* userId, int64_t result) {
    raiseTaskEvent(taskId, userId, static_cast<int32_t>(result), kFailToSendMessage);
  }
  // Whether host tasks may be sent now (the session is ready); session steps go regardless.
  virtual bool hostTasksMayRun() const { return true; }

 protected:
  ~TaskOwner() = default;
};

}  // namespace qv

#endif  // QV_TASKS_TASK_H

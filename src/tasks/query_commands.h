// QueryCommands: the command table of a trading client, from task id to the request operation that
// sends that task's request to the trading system (57 entries: the query commands, the session
// steps 11101 to 11104, logout 35 and the bank balance 36/11208). Built once by the trading client's
// constructor and never changed afterwards, so lookups need no lock.
//
// run() is the client's runQueryCommand: it runs on the worker thread inside TaskQueue::executeStep
// with the queue lock held, so it raises nothing: the queue raises the event of an unknown task id
// or a refused request once it has released its lock. A request operation fills a zeroed CTP
// request record from the login record and the task's command, stores the login UserID and the
// next request id in the task and calls the trader library. Every text is copied bounded by its
// destination field.
#ifndef QV_TASKS_QUERY_COMMANDS_H
#define QV_TASKS_QUERY_COMMANDS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "ThostFtdcTraderApi.h"
#include "records/cqv_records.h"
#include "tasks/task.h"

namespace qv {

// What the request operations need from the trading session. The pointers must outlive the table.
struct CommandContext {
  CThostFtdcTraderApi* api;                // may be null before the library exists
  const CQVLoginField* login;              // the client's normalised copy; never null
  std::atomic<int32_t>* requestCounter;    // shared with order entry: pre-incremented ids; never null
  // Market-data login for task 11102: sends it under a request id it stores in task.requestId;
  // returns -1002100 when there is no market-data client. Must not raise.
  std::function<int32_t(Task&)> marketDataLogin;
};

using RequestOperation = int64_t (*)(const CommandContext& context, Task& task);

class QueryCommands {
 public:
  // REQUIRES: context.login and context.requestCounter are not null.
  explicit QueryCommands(CommandContext context);

  // Runs the request operation of task.taskId: 0 sent, the library's non-zero result when refused
  // (-1 when there is no library object), -1002100 for 11102 without a market-data client.
  // Unknown task id: -1003200, with the login UserID stored in the task for its event.
  int64_t run(Task& task);
  bool has(int32_t taskId) const;
  size_t size() const;  // 57

 private:
  CommandContext context_;
  std::unordered_map<int32_t, RequestOperation> table_;
};

}  // namespace qv

#endif  // QV_TASKS_QUERY_COMMANDS_H

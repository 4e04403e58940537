// QueryCommands: the command table of a trading client, from task id to the request operation that
// sends that task's request to the trading system (57 entries: the query commands, the session
// steps 11101 to 11104, logout 35 and the bank balance 36/11208). Built once by the trading client's
// constructor and never changed afterwards, so lookups need no lock.
//
// run() is the client's runQueryCommand: it runs on the worker thread inside TaskQueue::executeStep
// with the queue lock held. A request operation fills a zeroed CTP request record from the login
// record and the task's command, stores the login UserID in the task, takes the next request id and
// calls the trader library; a refused request raises "Error:Fail To Sended." with the library's
// result. Every text is copied bounded by its destination field.
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
  // Market-data login for task 11102; returns -1002100 when there is no market-data client.
  std::function<int32_t(Task&)> marketDataLogin;
  // Raise of a task's response event (no record, is-last true): "Error:Invalid TaskID." etc.
  std::function<void(int32_t eventId, const char* userId, int32_t errorId, const char* message)> raise;
};

using RequestOperation = int64_t (*)(const CommandContext& context, Task& task);

class QueryCommands {
 public:
  // REQUIRES: context.login and context.requestCounter are not null.
  explicit QueryCommands(CommandContext context);

  // Runs the request operation of task.taskId: 0 sent, the library's non-zero result when refused
  // (-1 when there is no library object), -1002100 for 11102 without a market-data client.
  // Unknown task id: raises "Error:Invalid TaskID." with -1003200 and returns -1003200.
  int64_t run(Task& task);
  bool has(int32_t taskId) const;
  size_t size() const;  // 57

 private:
  CommandContext context_;
  std::unordered_map<int32_t, RequestOperation> table_;
};

}  // namespace qv

#endif  // QV_TASKS_QUERY_COMMANDS_H

// Building blocks of the request operations of the command table: bounded field copies, the common
// send step, and the hand-written parts of the special entries (11102, 36/11208, 11411). The
// operations themselves are generated (query_commands_table.cc) and run on the worker thread with
// the task queue's lock held, so they may change the task they are given.
#ifndef QV_TASKS_REQUEST_BUILDING_H
#define QV_TASKS_REQUEST_BUILDING_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ThostFtdcTraderApi.h"
#include "base/text.h"
#include "tasks/query_commands.h"
#include "tasks/task.h"

namespace qv {

struct QueryCommandEntry {
  int32_t taskId;
  RequestOperation operation;
};
// The generated catalogue.
extern const QueryCommandEntry kQueryCommandEntries[];
extern const size_t kQueryCommandCount;

// Copies a record text into a request field, bounded by both: reads no further than the source's
// own width (it may fill it without a terminator) and cuts what does not fit the destination.
// Text literals are arrays too.
template <size_t N, size_t M>
inline void copyField(char (&dst)[N], const char (&src)[M]) {
  size_t n = textLength(src);
  if (n > N - 1) n = N - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// Most request records carry no request id of their own. The bank balance's does: its answer
// comes as a return that echoes it, and that echo is how the return finds its request.
template <class Record>
inline void stampRequestId(Record&, int32_t) {}
inline void stampRequestId(CThostFtdcReqQueryAccountField& record, int32_t requestId) {
  record.RequestID = requestId;
}

// The common tail of a request operation: stores the login UserID and the next request id in the
// task and calls the library with the filled record; returns the library's result. Raises nothing
// (the queue reports a refusal once it has released its lock). Without a library object the
// request is refused with -1.
template <class Record>
int64_t sendRequest(const CommandContext& context, Task& task, int (CThostFtdcTraderApi::*request)(Record*, int),
                    Record& record) {
  copyField(task.userId, context.login->UserID);
  if (context.api == nullptr) return -1;
  task.requestId = context.requestCounter->fetch_add(1) + 1;
  stampRequestId(record, task.requestId);
  return (context.api->*request)(&record, task.requestId);
}

// 36 and 11208: the answer arrives as event 11208, so the running task takes that id before the
// request goes out and the answer completes it.
void runAsBankBalance(Task& task, CThostFtdcReqQueryAccountField& record);

// 11411: the command's StandardID holds a currency pair FROM/TO. The task's own StandardID is cut at
// the first '/', so a second run of the same task asks for FROM with an empty TO.
void splitCurrencyPair(Task& task, CThostFtdcQryExchangeRateField& record);

// 11102: the market-data client's login; -1002100 when there is none.
int64_t loginMarketData(const CommandContext& context, Task& task);

}  // namespace qv

#endif  // QV_TASKS_REQUEST_BUILDING_H

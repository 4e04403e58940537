#include "tasks/request_building.h"

#include <cstring>

namespace qv {

namespace {
constexpr int32_t kBankBalanceTaskId = 11208;
}  // namespace

void runAsBankBalance(Task& task, CThostFtdcReqQueryAccountField&) { task.taskId = kBankBalanceTaskId; }

void splitCurrencyPair(Task& task, CThostFtdcQryExchangeRateField& record) {
  char* pair = task.command.StandardID;
  const size_t length = textLength(task.command.StandardID);
  char* slash = static_cast<char*>(std::memchr(pair, '/', length));
  if (slash != nullptr) {
    const char* to = slash + 1;
    size_t toLength = length - static_cast<size_t>(to - pair);
    if (toLength > sizeof(record.ToCurrencyID) - 1) toLength = sizeof(record.ToCurrencyID) - 1;
    std::memcpy(record.ToCurrencyID, to, toLength);
    record.ToCurrencyID[toLength] = '\0';
    *slash = '\0';
  }
  copyField(record.FromCurrencyID, task.command.StandardID);
}

int64_t loginMarketData(const CommandContext& context, Task& task) {
  // The user text of a later time-out event, as for every other request.
  copyField(task.userId, context.login->UserID);
  if (!context.marketDataLogin) return kNoMarketDataClient;
  return context.marketDataLogin(task);
}

}  // namespace qv

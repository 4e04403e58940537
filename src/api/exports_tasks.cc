// Exports that queue requests on a client's task queue.
#include <cstring>

#include "api/export_guard.h"
#include "api/exports.h"
#include "base/text.h"
#include "trading/error_codes.h"

using qv::api::guarded;

namespace {

constexpr int32_t kBankAccountCashTask = 36;
constexpr int64_t kBankAccountCashGap = 1000000;
constexpr int64_t kBankAccountCashTimeout = 3000000;

}  // namespace

int32_t addTask(QvHandle handle, int32_t taskId, CQVQueryCommandField* command,
                int32_t repeatCount, uint8_t retry, int64_t gap, int64_t timeout) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::api::kErrInternal, [&] {
    return handle->taskQueue().submit(taskId, command, repeatCount, retry, gap, timeout);
  });
}

int32_t queryBankAccountCash(QvHandle handle, const char* accountPassword, const char* bankId,
                             const char* bankPassword) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(qv::api::kErrInternal, [&] {
    CQVQueryCommandField command;
    std::memset(&command, 0, sizeof command);
    qv::copyText(command.AccountPassword, accountPassword);
    qv::copyText(command.BankID, bankId);
    qv::copyText(command.BankPassword, bankPassword);
    return handle->taskQueue().submit(kBankAccountCashTask, &command, 1, 0, kBankAccountCashGap,
                                      kBankAccountCashTimeout);
  });
}

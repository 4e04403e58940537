#include "trading/trader_client.h"

#include <cstring>

#include "base/text.h"
#include "bridge/callables.h"
#include "trading/instrument_key.h"
#include "trading/md_client.h"

namespace qv {

namespace {

// The host fills the texts of its record itself; a text that fills its whole array gets its last
// byte replaced by the terminator so that every reader of the copy stays inside the field.
template <size_t N>
void terminate(char (&text)[N]) {
  text[N - 1] = '\0';
}

}  // namespace

CQVLoginField normalisedLogin(const CQVLoginField& login) {
  CQVLoginField copy;
  std::memcpy(&copy, &login, sizeof copy);
  terminate(copy.Reserved);
  terminate(copy.UserID);
  terminate(copy.Password);
  terminate(copy.InvestorID);
  terminate(copy.AccountID);
  terminate(copy.DepartmentID);
  terminate(copy.TraderFront);
  terminate(copy.MdFront);
  terminate(copy.BasePath);
  terminate(copy.BrokerID);
  terminate(copy.AppID);
  terminate(copy.AuthCode);
  terminate(copy.HDSerial);
  terminate(copy.MacAddress);
  terminate(copy.OuterIPAddress);
  terminate(copy.InnerIPAddress);
  terminate(copy.UserProductInfo);
  terminate(copy.TerminalInfo);
  if (copy.TaskExecuteGap == -1) copy.TaskExecuteGap = kDefaultTaskExecuteGap;
  if (copy.BasePath[0] == '\0') copyText(copy.BasePath, ".");
  if (copy.InvestorID[0] == '\0') copyText(copy.InvestorID, sizeof copy.InvestorID, copy.UserID);
  if (copy.TaskExecuteTimeout < kMinTaskExecuteTimeout) copy.TaskExecuteTimeout = kMinTaskExecuteTimeout;
  return copy;
}

TraderClient::TraderClient(uint16_t clientIndex, const CQVLoginField& login,
                           HostObject orderCallable, HostObject responseCallable,
                           HostObject loopCallable)
    : positions_(kPositionsReserved),
      login_(std::make_unique<CQVLoginField>(normalisedLogin(login))),
      taskLink_(*this),
      taskQueue_(std::make_unique<TaskQueue>(taskLink_, login_->TaskExecuteGap,
                                             login_->TaskExecuteTimeout)),
      orderCounter_(static_cast<int32_t>(clientIndex) * 10000),
      orderIdMin_(static_cast<int32_t>(clientIndex) * 10000 * 100),
      orderIdMax_(static_cast<int32_t>(clientIndex) * 10000 * 100 + 9000000) {
  allOrders_.reserve(kAllOrdersReserved);
  workingOrders_.reserve(kWorkingOrdersReserved);
  bridge::initCallable(responseSlot_, responseCallable);
  bridge::initCallable(loopSlot_, loopCallable);
  bridge::initCallable(generalOrderSlot_, orderCallable);
  for (CallableSlot& slot : orderEventSlots_) bridge::initCallable(slot, orderCallable);
}

TraderClient::~TraderClient() {
  // The queue goes before the login copy it was configured from; holders stay: the host may
  // still hold their addresses.
  taskQueue_.reset();
  login_.reset();
}

TransferHolder* TraderClient::transferPosition(char, const char*, const char*, int32_t,
                                               const char*, const char*) {
  return nullptr;
}

OrderHolder* TraderClient::findOrder(int32_t orderId) const {
  ReadGuard guard(orderBookLock_);
  auto it = allOrders_.find(orderId);
  return it == allOrders_.end() ? nullptr : it->second;
}

PositionHolder* TraderClient::findPosition(const char* instrumentId,
                                           const char* exchangeId) const {
  if (instrumentId == nullptr) return nullptr;
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, instrumentId, exchangeId);
  return positions_.find(key);
}

double TraderClient::usableCash() const {
  SpinFlagGuard guard(cashReadFlag_);
  return usableCash_.load(std::memory_order_relaxed);
}

void TraderClient::attachMdClient(MdClient* mdClient) {
  snapshotMap_.store(mdClient != nullptr ? &mdClient->snapshots() : nullptr,
                     std::memory_order_release);
  mdClient_.store(mdClient, std::memory_order_release);
}

CallableSlot* TraderClient::orderEventSlot(int32_t eventId) {
  if (eventId < kFirstOrderEvent || eventId > kLastOrderEvent) return nullptr;
  return &orderEventSlots_[eventId - kFirstOrderEvent];
}

void TraderClient::raiseResponse(int32_t eventId, const void* record, bool isLast,
                                 int32_t errorId, const char* message) const {
  bridge::raiseResponse(responseSlot_, responseFallback(), eventId, record, isLast,
                        login_->UserID, errorId, message);
}

void TraderClient::TaskLink::raiseTaskEvent(int32_t eventId, const char* userId,
                                            int32_t errorId, const char* message) {
  bridge::raiseResponse(client_.responseSlot_, client_.responseFallback(), eventId, nullptr, true,
                        userId, errorId, message);
}

void TraderClient::TaskLink::raiseRefusedSend(int32_t taskId, const char* userId,
                                              int64_t result) {
  if (taskId != kMarketDataLoginTaskId) {
    raiseTaskEvent(taskId, userId, static_cast<int32_t>(result), kFailToSendMessage);
    return;
  }
  // The market-data client's own login: its refusal is that client's event. Without a
  // market-data client nothing was sent, and nothing is raised.
  MdClient* md = client_.mdClient();
  if (md != nullptr && result != kNoMarketDataClient) md->raiseLoginRefused(static_cast<int32_t>(result));
}

}  // namespace qv

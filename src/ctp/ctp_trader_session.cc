// CtpTraderClient's session: making the trader library object, and the front, authentication,
// login and settlement steps on the library's callback thread.
#include <exception>
#include <string>

#include "bridge/event_text.h"
#include "ctp/ctp_trader_client.h"
#include "ctp/flow_path.h"
#include "ctp/rsp_error.h"
#include "trading/error_codes.h"
#include "trading/md_client.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

// The start-up chain queued on every front connection, in order.
constexpr int32_t kStartupChain[] = {11103, 11101, 11104, 11402, 11202, 11204, 11205, 11207, 11102};

constexpr int32_t kEventDayRolling = 10001;
constexpr int32_t kEventCreateFailed = 11001;
constexpr int32_t kEventTraderDisconnected = 11002;
constexpr int32_t kTaskLogout = 35;
constexpr int32_t kTaskLoginTrader = 11101;
constexpr int32_t kTaskAuthenticate = 11103;
constexpr int32_t kTaskConfirmSettlement = 11104;
constexpr int32_t kErrorLoginRefused = 3;

CThostFtdcTraderApi* createTraderApi(const std::string& flowPath) {
  try {
    return CThostFtdcTraderApi::CreateFtdcTraderApi(flowPath.c_str());
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

std::string CtpTraderClient::flowPath(const CQVLoginField& login) {
  return flowPathOf(login, "TDFlow");
}

CtpTraderClient::CtpTraderClient(uint16_t clientIndex, const CQVLoginField& login,
                                 HostObject orderCallable, HostObject responseCallable,
                                 HostObject loopCallable)
    : OrderEngine(clientIndex, login, orderCallable, responseCallable, loopCallable),
      api_(createTraderApi(flowPath(this->login()))),
      commands_(CommandContext{api_, login_.get(), &requestCounter_,
                               [this](Task& task) { return marketDataLogin(task.requestId); }}) {
  setResponseFallback(bridge::printResponseEvent);
  bool started = false;
  if (api_ != nullptr) {
    try {
      api_->RegisterSpi(this);
      char front[sizeof(CQVLoginField::TraderFront) + 1];
      copyText(front, sizeof front, this->login().TraderFront);
      api_->RegisterFront(front);
      api_->SubscribePrivateTopic(THOST_TERT_QUICK);
      api_->SubscribePublicTopic(THOST_TERT_QUICK);
      api_->Init();
      started = true;
    } catch (...) {
      started = false;
    }
  }
  if (!started) {
    raiseResponse(kEventCreateFailed, nullptr, true, kErrCreateTrader,
                  "Error:Fail To Create Trader.");
  }
}

CtpTraderClient::~CtpTraderClient() {
  if (api_ != nullptr) {
    api_->RegisterSpi(nullptr);
    api_->Release();
    api_ = nullptr;
  }
}

int64_t CtpTraderClient::runQueryCommand(Task& task) { return commands_.run(task); }

int32_t CtpTraderClient::marketDataLogin(int32_t& requestId) {
  MdClient* md = mdClient();
  return md != nullptr ? md->login(requestId) : kErrNoMdClient;
}

void CtpTraderClient::respond(int32_t eventId, const void* record,
                              const CThostFtdcRspInfoField* info, int32_t requestId, bool isLast,
                              bool completes) {
  RspError error(info);
  raiseResponse(eventId, record, isLast, error.id, error.message);
  if (completes && isLast) taskQueue().complete(eventId, requestId, error.id);
}

void CtpTraderClient::notice(int32_t eventId, const void* record) {
  if (record != nullptr) raiseResponse(eventId, record, true, 0, "");
}

void CtpTraderClient::OnFrontConnected() {
  exchangeSessionState(kStateConnected);
  // The chain goes ahead of whatever the host queued while the front was down; those tasks wait
  // until the chain has made the session ready.
  const CQVLoginField& config = login();
  for (int32_t taskId : kStartupChain) {
    taskQueue().submitSessionStep(taskId, config.TaskExecuteGap, config.TaskExecuteTimeout);
  }
}

void CtpTraderClient::OnFrontDisconnected(int reason) {
  exchangeSessionState(kStateDisconnected);
  taskQueue().reset();
  raiseResponse(kEventTraderDisconnected, nullptr, true, reason, "Error:Trader Disconnected.");
}

void CtpTraderClient::OnRspAuthenticate(CThostFtdcRspAuthenticateField* record,
                                        CThostFtdcRspInfoField* info, int requestId,
                                        bool isLast) {
  respond(kTaskAuthenticate, record, info, requestId, isLast, true);
}

void CtpTraderClient::OnRspUserLogin(CThostFtdcRspUserLoginField* record,
                                     CThostFtdcRspInfoField* info, int requestId, bool isLast) {
  RspError error(info);
  // A refused login (3) is not retried: the rest of the chain cannot run without it.
  if (error.id == kErrorLoginRefused) taskQueue().reset();
  if (!error.failed() && record != nullptr && sessionState() == kStateConnected) {
    frontId_.store(record->FrontID, std::memory_order_relaxed);
    sessionId_.store(record->SessionID, std::memory_order_relaxed);
    char day[sizeof(record->TradingDay) + 1];
    copyText(day, sizeof day, record->TradingDay);
    beginTradingDay(day);
    if (advanceTradingDay(day)) raiseResponse(kEventDayRolling, nullptr, isLast, 0, "");
  }
  raiseResponse(kTaskLoginTrader, record, isLast, error.id, error.message);
  if (isLast) taskQueue().complete(kTaskLoginTrader, requestId, error.id);
}

void CtpTraderClient::OnRspUserLogout(CThostFtdcUserLogoutField*, CThostFtdcRspInfoField* info,
                                      int requestId, bool isLast) {
  if (info != nullptr && info->ErrorID == 0 && isLast) {
    taskQueue().complete(kTaskLogout, requestId, 0);
  }
}

void CtpTraderClient::OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* record,
                                                 CThostFtdcRspInfoField* info, int requestId,
                                                 bool isLast) {
  respond(kTaskConfirmSettlement, record, info, requestId, isLast, true);
}

}  // namespace qv

// CtpMdClient's session: making the market-data library object, its front, login and disconnect
// callbacks, and the subscribe and unsubscribe requests.
#include "base/text.h"
#include "ctp/ctp_md_client.h"
#include "ctp/flow_path.h"
#include "ctp/rsp_error.h"
#include "tasks/task_queue.h"
#include "trading/error_codes.h"

namespace qv {
namespace {

constexpr int32_t kEventCreateFailed = 11001;
constexpr int32_t kEventMdDisconnected = 11003;
constexpr int32_t kEventSubscribe = 11007;
constexpr int32_t kEventUnsubscribe = 11008;
constexpr int32_t kTaskLoginMd = 11102;
constexpr int32_t kErrorLoginRefused = 3;

CThostFtdcMdApi* createMdApi(const std::string& flowPath) {
  try {
    return CThostFtdcMdApi::CreateFtdcMdApi(flowPath.c_str(), false, false);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

std::string CtpMdClient::flowPath(const CQVLoginField& login) {
  return flowPathOf(login, "MDFlow");
}

CtpMdClient::CtpMdClient(const CQVLoginField* login, HostObject marketDataCallable,
                         HostObject responseCallable)
    : MdClient(login, marketDataCallable, responseCallable), api_(createMdApi(flowPath(*login))) {
  bool started = false;
  if (api_ != nullptr) {
    try {
      api_->RegisterSpi(this);
      char front[sizeof(CQVLoginField::MdFront) + 1];
      copyText(front, sizeof front, login->MdFront);
      api_->RegisterFront(front);
      api_->Init();
      started = true;
    } catch (...) {
      started = false;
    }
  }
  if (!started) {
    raiseResponse(kEventCreateFailed, nullptr, true, kErrCreateMd, "Error:Fail To Create Md.");
  }
}

CtpMdClient::~CtpMdClient() {
  if (api_ != nullptr) {
    api_->RegisterSpi(nullptr);
    api_->Release();
    api_ = nullptr;
  }
}

int32_t CtpMdClient::sendSubscribe(const char*, char** codes, int32_t count, char) {
  if (api_ == nullptr || state() != '4') return 0;
  return api_->SubscribeMarketData(codes, count);
}

int32_t CtpMdClient::sendUnsubscribe(const char*, char** codes, int32_t count, char) {
  if (api_ == nullptr || state() != '4') return 0;
  return api_->UnSubscribeMarketData(codes, count);
}

int32_t CtpMdClient::login(int32_t& requestId) {
  if (api_ == nullptr) return -1;
  {
    SpinFlagGuard guard(loginFlag_);
    const char now = state();
    // Logged in already (the trader's chain runs again after its own front came back, or the
    // session logged itself in on a reconnection): the step is done, without a second login.
    if (now == '4') return kLoginWhenConnected;
    if (now != '3') {
      loginWanted_ = true;
      return kLoginWhenConnected;
    }
    if (loginInFlight_) return kLoginWhenConnected;
    loginInFlight_ = true;
    requestId = nextRequestId();
    loginRequestId_ = requestId;
    stepRequestId_ = requestId;
  }
  CThostFtdcReqUserLoginField request = loginRequest();
  const int32_t result = api_->ReqUserLogin(&request, requestId);
  if (result != 0) {
    SpinFlagGuard guard(loginFlag_);
    if (loginRequestId_ == requestId) {
      loginInFlight_ = false;
      loginRequestId_ = 0;
    }
    if (stepRequestId_ == requestId) stepRequestId_ = 0;
  }
  return result;
}

CThostFtdcReqUserLoginField CtpMdClient::loginRequest() const {
  const CQVLoginField& config = loginRecord();
  CThostFtdcReqUserLoginField request{};
  copyText(request.BrokerID, config.BrokerID);
  copyText(request.UserID, config.UserID);
  copyText(request.Password, config.Password);
  copyText(request.MacAddress, config.MacAddress);
  copyText(request.UserProductInfo, config.TerminalInfo);
  return request;
}

void CtpMdClient::OnFrontConnected() {
  // The first connection logs in as a step of the trading session's start-up chain, unless that
  // step came while the front was down; a connection that follows a lost one logs in on its own,
  // since the trading session may never have noticed (its own front stayed up). The login's
  // answer replays the subscriptions, and it ends the chain's step when that step still waits for
  // an answer the lost connection took with it.
  int32_t requestId = 0;
  {
    SpinFlagGuard guard(loginFlag_);
    const bool reconnected = state() == '2';
    setState('3');
    const bool send = (reconnected || loginWanted_) && !loginInFlight_;
    loginWanted_ = false;
    if (!send) return;
    loginInFlight_ = true;
    requestId = nextRequestId();
    loginRequestId_ = requestId;
  }
  CThostFtdcReqUserLoginField request = loginRequest();
  const int32_t result = api_->ReqUserLogin(&request, requestId);
  if (result == 0) return;
  {
    SpinFlagGuard guard(loginFlag_);
    if (loginRequestId_ == requestId) {
      loginInFlight_ = false;
      loginRequestId_ = 0;
    }
  }
  raiseLoginRefused(result);
}

void CtpMdClient::OnFrontDisconnected(int reason) {
  {
    // The answer to a login in flight is lost with the connection; a step that waits for it keeps
    // its request id (stepRequestId_), which the session's next login answers.
    SpinFlagGuard guard(loginFlag_);
    setState('2');
    loginInFlight_ = false;
    loginRequestId_ = 0;
  }
  raiseResponse(kEventMdDisconnected, nullptr, true, reason, "Error:Md Disconnected.");
}

void CtpMdClient::OnRspUserLogin(CThostFtdcRspUserLoginField* record, CThostFtdcRspInfoField* info,
                                 int requestId, bool isLast) {
  RspError error(info);
  TaskQueue* queue = taskQueue();
  if (error.id == kErrorLoginRefused && queue != nullptr) queue->reset();
  raiseResponse(kTaskLoginMd, record, isLast, error.id, error.message);
  if (!isLast) return;
  // The request the queue's step waits for: this answer's own, or, when this answers the login
  // the session sent by itself after a drop took the step's answer, the step's. Either way the
  // step ends as its own answer would have ended it.
  int32_t completes = requestId;
  {
    SpinFlagGuard guard(loginFlag_);
    const bool current = loginRequestId_ == 0 || loginRequestId_ == requestId;
    if (current) {
      loginInFlight_ = false;
      loginRequestId_ = 0;
      if (stepRequestId_ != 0) completes = stepRequestId_;
      stepRequestId_ = 0;
    }
    if (!error.failed()) setState('4');
  }
  if (!error.failed()) subscribe(nullptr, nullptr, 0, '0');
  if (queue != nullptr) queue->complete(kTaskLoginMd, completes, error.id);
}

void CtpMdClient::respond(int32_t eventId, const void* record, const CThostFtdcRspInfoField* info,
                          int32_t requestId, bool isLast) {
  RspError error(info);
  raiseResponse(eventId, record, isLast, error.id, error.message);
  TaskQueue* queue = taskQueue();
  if (isLast && queue != nullptr) queue->complete(eventId, requestId, error.id);
}

void CtpMdClient::OnRspSubMarketData(CThostFtdcSpecificInstrumentField* record,
                                     CThostFtdcRspInfoField* info, int requestId, bool isLast) {
  respond(kEventSubscribe, record, info, requestId, isLast);
}

void CtpMdClient::OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField* record,
                                       CThostFtdcRspInfoField* info, int requestId, bool isLast) {
  respond(kEventUnsubscribe, record, info, requestId, isLast);
}

}  // namespace qv

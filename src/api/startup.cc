#include "api/startup.h"

#include <atomic>
#include <string>

#include "api/client_registry.h"
#include "api/directory_maker.h"
#include "base/clock.h"
#include "base/text.h"
#include "trading/client_factory.h"
#include "trading/error_codes.h"
#include "trading/md_client.h"

namespace qv::api {
namespace {

std::atomic<int32_t> lastError{0};

constexpr uint16_t kMaxClientIndex = 99;
constexpr int64_t kConnectPollMicros = 100;

// A text of the host's record, read only up to its array's end.
template <size_t N>
std::string hostText(const char (&text)[N]) {
  return std::string(text, textLength(text));
}

template <size_t N>
bool isEmpty(const char (&text)[N]) {
  return text[0] == '\0';
}

TraderClient* fail(int32_t code) {
  lastError.store(code, std::memory_order_relaxed);
  return nullptr;
}

// Polls the trading client's state every 100 µs until it is '3' (true) or `timeout` (> 0) has
// passed since `anchor` (false). The state is tested before the first sleep.
bool waitForConnected(const TraderClient& client, int64_t anchor, int64_t timeout) {
  for (;;) {
    if (client.sessionState() == kStateConnected) return true;
    if (timeout > 0 && nowMicros() - anchor > timeout) return false;
    sleepMicros(kConnectPollMicros);
  }
}

}  // namespace

int32_t startupError() { return lastError.load(std::memory_order_relaxed); }

bool buildsClients(int32_t userType) {
  return userType == 10001 || userType == 20001 || userType == 20005;
}

int32_t validateLogin(const CQVLoginField& login) {
  if (isEmpty(login.UserID)) return kErrEmptyUserId;
  const int32_t type = login.UserType;
  if (!((type >= 10001 && type <= 10004) || (type >= 20001 && type <= 20005))) return kErrUserType;
  if (isEmpty(login.MdFront)) return kErrEmptyMdFront;
  if (type == 10001) {
    if (isEmpty(login.BrokerID)) return kErrEmptyBrokerId;
    if (isEmpty(login.AppID)) return kErrEmptyAppId;
    if (isEmpty(login.AuthCode)) return kErrEmptyAuthCode;
  }
  const std::string root = isEmpty(login.BasePath) ? std::string(".") : hostText(login.BasePath);
  const std::string dir = root + "/" + hostText(login.UserID);
  for (const std::string& path : {dir, dir + "/TDFlow", dir + "/MDFlow"}) {
    if (!makeDirectories(path)) return kErrFlowDirectory;
  }
  return 0;
}

TraderClient* startClient(uint16_t clientIndex, const CQVLoginField* login,
                          HostObject orderCallable, HostObject responseCallable,
                          HostObject loopCallable, HostObject marketDataCallable,
                          HostObject reserved) {
  lastError.store(0, std::memory_order_relaxed);
  if (login == nullptr) return fail(kErrNullLogin);
  if (clientIndex > kMaxClientIndex) return fail(kErrClientIndex);
  if (int32_t code = validateLogin(*login); code != 0) return fail(code);

  const std::string key = std::to_string(login->UserType);
  ClientRegistry& registry = clientRegistry();
  if (TraderClient* existing = registry.find(key)) return existing;

  int64_t anchor = nowMicros();
  TraderClientFactory makeTrader = traderClientFactory();
  if (!buildsClients(login->UserType) || makeTrader == nullptr) return fail(kErrUserType);
  TraderClient* trader = makeTrader(clientIndex, *login, orderCallable, responseCallable,
                                    loopCallable);
  if (trader == nullptr) return fail(kErrUserType);

  const int64_t timeout = login->ConnectTimeout;
  if (!waitForConnected(*trader, anchor, timeout)) {
    delete trader;
    return fail(kErrTraderConnect);
  }

  anchor = nowMicros();
  MdClient* md = nullptr;
  if (MdClientFactory makeMd = mdClientFactory()) {
    md = makeMd(&trader->login(), marketDataCallable, responseCallable, reserved);
  }
  if (!waitForConnected(*trader, anchor, timeout)) {
    // The market-data client reads the trading client's login copy: it goes first.
    delete md;
    delete trader;
    return fail(kErrMdAttach);
  }

  trader->attachMdClient(md);
  registry.insert(key, trader);
  if (md != nullptr) md->attachTaskQueue(&trader->taskQueue());
  return trader;
}

}  // namespace qv::api

#include "core/sessions/md_session.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "core/broker/errors.h"
#include "core/text/fields.h"
#include "core/world/world.h"

namespace qvsim {

SimMdApi::SimMdApi() : Session(Kind::kMd) {}

void SimMdApi::Release() { releaseSelf(); }
void SimMdApi::Init() { startThread(); }
int SimMdApi::Join() { return joinThread(); }

const char* SimMdApi::GetTradingDay() {
  std::lock_guard<std::mutex> lock(World::get().mu);
  return tradingDay_;
}

void SimMdApi::RegisterFront(char* /*pszFrontAddress*/) {}
void SimMdApi::RegisterNameServer(char* /*pszNsAddress*/) {}
void SimMdApi::RegisterFensUserInfo(CThostFtdcFensUserInfoField* /*pFensUserInfo*/) {}
void SimMdApi::RegisterSpi(CThostFtdcMdSpi* pSpi) { spi_.store(pSpi); }

void SimMdApi::onConnectLocked() {
  clearSubscriptionsLocked();
  loggedIn_ = false;
  sessionId_ = World::get().broker.nextSessionId();
}

Session::Call SimMdApi::connectedCall() {
  return [this] {
    if (CThostFtdcMdSpi* s = spi()) s->OnFrontConnected();
  };
}

Session::Call SimMdApi::disconnectedCall(int reason) {
  return [this, reason] {
    if (CThostFtdcMdSpi* s = spi()) s->OnFrontDisconnected(reason);
  };
}

void SimMdApi::onDropLocked() {
  // A market-data front forgets a lost connection's login and subscriptions.
  clearSubscriptionsLocked();
  loggedIn_ = false;
}

void SimMdApi::clearSubscriptionsLocked() {
  World& w = World::get();
  for (const auto& entry : subscriptions_) w.market.unsubscribe(entry.first);
  subscriptions_.clear();
}

void SimMdApi::onScenarioLoadedLocked() {
  World& w = World::get();
  for (auto& entry : subscriptions_) {
    w.market.subscribe(entry.first);
    entry.second = 0;
  }
  walkDue_ = true;
}

int SimMdApi::ReqUserLogin(CThostFtdcReqUserLoginField* p, int id) {
  const auto req = copyRecord(p);
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  const int rc = admitLocked("ReqUserLogin", &req, sizeof(req), id, false);
  if (rc != 0) return rc;
  // The market-data front takes any user and password.
  auto out = zeroRecord<CThostFtdcRspUserLoginField>();
  const std::string now = chinaTime();
  setText(out.TradingDay, w.broker.tradingDay());
  setText(out.LoginTime, now);
  setText(out.BrokerID, getText(req.BrokerID));
  setText(out.UserID, getText(req.UserID));
  setText(out.SystemName, "TradingHosting");
  out.FrontID = w.scenario.frontId;
  out.SessionID = sessionId_;
  setText(out.MaxOrderRef, "1");
  setText(out.SHFETime, now);
  setText(out.DCETime, now);
  setText(out.CZCETime, now);
  setText(out.FFEXTime, now);
  setText(out.INETime, now);
  loggedIn_ = true;
  setText(tradingDay_, w.broker.tradingDay());
  CThostFtdcRspInfoField info = makeRspInfo(kErrNone);
  answerLocked("ReqUserLogin", {[this, out, info, id]() mutable {
                 if (CThostFtdcMdSpi* s = spi()) s->OnRspUserLogin(&out, &info, id, true);
               }});
  return 0;
}

int SimMdApi::ReqUserLogout(CThostFtdcUserLogoutField* p, int id) {
  auto req = copyRecord(p);
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  const int rc = admitLocked("ReqUserLogout", &req, sizeof(req), id, false);
  if (rc != 0) return rc;
  const int err = loggedIn_ ? kErrNone : kErrNotLoggedIn;
  loggedIn_ = false;
  clearSubscriptionsLocked();
  CThostFtdcRspInfoField info = makeRspInfo(err);
  answerLocked("ReqUserLogout", {[this, req, info, id]() mutable {
                 if (CThostFtdcMdSpi* s = spi()) s->OnRspUserLogout(&req, &info, id, true);
               }});
  return 0;
}

int SimMdApi::instrumentRequest(const char* name, char* ids[], int count, SpecificMethod method, Change change) {
  // Copy the codes first: the caller's array is only valid for this call.
  std::vector<std::string> codes;
  std::string bytes;
  for (int i = 0; ids != nullptr && i < count; ++i) {
    if (ids[i] == nullptr) continue;
    codes.emplace_back(ids[i], strnlen(ids[i], sizeof(CThostFtdcSpecificInstrumentField::InstrumentID) - 1));
    bytes += codes.back();
    bytes.push_back('\0');
  }
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  const int rc = admitLocked(name, bytes.data(), bytes.size(), 0, false);
  if (rc != 0 || codes.empty()) return rc;
  const int err = loggedIn_ ? kErrNone : kErrNotLoggedIn;
  CThostFtdcRspInfoField info = makeRspInfo(err);
  std::vector<Call> calls;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::string& code = codes[i];
    if (err == kErrNone && change == Change::kSubscribe && !subscriptions_.count(code)) {
      subscriptions_[code] = 0;
      w.market.subscribe(code);
      walkDue_ = true;
    } else if (err == kErrNone && change == Change::kUnsubscribe && subscriptions_.count(code)) {
      subscriptions_.erase(code);
      w.market.unsubscribe(code);
    }
    auto record = zeroRecord<CThostFtdcSpecificInstrumentField>();
    setText(record.InstrumentID, code);
    const bool last = i + 1 == codes.size();
    calls.push_back([this, method, record, info, last]() mutable {
      if (CThostFtdcMdSpi* s = spi()) (s->*method)(&record, &info, 0, last);
    });
  }
  answerLocked(name, std::move(calls));
  wake();
  return 0;
}

int SimMdApi::SubscribeMarketData(char* ids[], int count) {
  return instrumentRequest("SubscribeMarketData", ids, count, &CThostFtdcMdSpi::OnRspSubMarketData, Change::kSubscribe);
}

int SimMdApi::UnSubscribeMarketData(char* ids[], int count) {
  return instrumentRequest("UnSubscribeMarketData", ids, count, &CThostFtdcMdSpi::OnRspUnSubMarketData,
                           Change::kUnsubscribe);
}

int SimMdApi::SubscribeForQuoteRsp(char* ids[], int count) {
  return instrumentRequest("SubscribeForQuoteRsp", ids, count, &CThostFtdcMdSpi::OnRspSubForQuoteRsp, Change::kNone);
}

int SimMdApi::UnSubscribeForQuoteRsp(char* ids[], int count) {
  return instrumentRequest("UnSubscribeForQuoteRsp", ids, count, &CThostFtdcMdSpi::OnRspUnSubForQuoteRsp,
                           Change::kNone);
}

bool SimMdApi::offerSnapshotLocked(const CThostFtdcDepthMarketDataField& snapshot, std::uint64_t sequence) {
  auto it = subscriptions_.find(textView(snapshot.InstrumentID));
  if (!loggedIn_ || it == subscriptions_.end()) return false;
  if (sequence != 0) it->second = sequence;
  postUnsolicited([this, depth = snapshot]() mutable {
    if (CThostFtdcMdSpi* s = spi()) s->OnRtnDepthMarketData(&depth);
  });
  return true;
}

void SimMdApi::onIdle(std::int64_t nowMicros) {
  std::vector<CThostFtdcDepthMarketDataField> fresh;
  {
    World& w = World::get();
    std::lock_guard<std::mutex> lock(w.mu);
    if (!loggedIn_ || subscriptions_.empty()) return;
    const double rate = w.settings.mdPerSecond;
    // Generated steps move the exchange too: working orders match against every new snapshot.
    for (const std::string& moved : w.market.advance(nowMicros, rate > 0.0 ? static_cast<std::int64_t>(1e6 / rate) : 0)) {
      const CThostFtdcDepthMarketDataField* depth = w.market.snapshot(moved, nullptr);
      if (depth != nullptr) w.matchSnapshotLocked(*depth);
    }
    // Pushed and replayed snapshots were queued as they came: only generated ones, and the
    // current snapshot of a new subscription, are left to look for.
    if (!walkDue_ && w.market.generatedSteps() == walkedSteps_) return;
    walkDue_ = false;
    walkedSteps_ = w.market.generatedSteps();
    for (auto& [code, lastSeen] : subscriptions_) {
      std::uint64_t sequence = 0;
      const CThostFtdcDepthMarketDataField* depth = w.market.snapshot(code, &sequence);
      if (depth == nullptr || sequence <= lastSeen) continue;
      lastSeen = sequence;
      fresh.push_back(*depth);
    }
  }
  // Snapshots go out between answers, on this library thread, with no lock held.
  for (auto& depth : fresh) {
    if (stopping()) return;  // released from inside the previous snapshot's callback
    if (CThostFtdcMdSpi* s = spi()) s->OnRtnDepthMarketData(&depth);
  }
}

}  // namespace qvsim

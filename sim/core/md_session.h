// SimMdApi: the stand-in for the vendor's market-data API object. Logs any user in, answers
// subscriptions one response per instrument, and streams the shared simulated market's snapshots
// of the subscribed instruments on its library thread (core/session.h).
// Created by CThostFtdcMdApi::CreateFtdcMdApi; freed by Release.
// loggedIn_, subscriptions_, the walk state and tradingDay_ are guarded by World::mu; spi_ is set
// before Init.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ThostFtdcMdApi.h"
#include "core/session.h"
#include "core/text_map.h"

namespace qvsim {

class SimMdApi final : public CThostFtdcMdApi, public Session {
 public:
  SimMdApi();
  ~SimMdApi() override = default;

  CThostFtdcMdSpi* spi() const { return spi_.load(); }

  // Queues a pushed snapshot when this object is logged in and subscribed to its instrument;
  // returns whether it did. REQUIRES: World::mu held.
  bool pushLocked(const CThostFtdcDepthMarketDataField& snapshot, std::uint64_t sequence);

  void Release() override;
  void Init() override;
  int Join() override;
  const char* GetTradingDay() override;
  void RegisterFront(char* pszFrontAddress) override;
  void RegisterNameServer(char* pszNsAddress) override;
  void RegisterFensUserInfo(CThostFtdcFensUserInfoField* pFensUserInfo) override;
  void RegisterSpi(CThostFtdcMdSpi* pSpi) override;
  int SubscribeMarketData(char* ppInstrumentID[], int nCount) override;
  int UnSubscribeMarketData(char* ppInstrumentID[], int nCount) override;
  int SubscribeForQuoteRsp(char* ppInstrumentID[], int nCount) override;
  int UnSubscribeForQuoteRsp(char* ppInstrumentID[], int nCount) override;
  int ReqUserLogin(CThostFtdcReqUserLoginField* pReqUserLoginField, int nRequestID) override;
  int ReqUserLogout(CThostFtdcUserLogoutField* pUserLogout, int nRequestID) override;

  void onScenarioLoadedLocked() override;

 protected:
  void onConnectLocked() override;
  Call connectedCall() override;
  Call disconnectedCall(int reason) override;
  void onDropLocked() override;
  void onIdle(std::int64_t nowMicros) override;

 private:
  using SpecificMethod = void (CThostFtdcMdSpi::*)(CThostFtdcSpecificInstrumentField*, CThostFtdcRspInfoField*, int,
                                                   bool);
  enum class Change { kSubscribe, kUnsubscribe, kNone };
  // The four instrument-list requests: log, admit, change the subscriptions, answer per instrument.
  int instrumentRequest(const char* name, char* ids[], int count, SpecificMethod method, Change change);
  void clearSubscriptionsLocked();

  std::atomic<CThostFtdcMdSpi*> spi_{nullptr};
  bool loggedIn_ = false;
  int sessionId_ = 0;
  TextMap<std::uint64_t> subscriptions_;  // instrument id -> last sequence delivered
  // Market::generatedSteps() at the last walk over the subscriptions; a subscription or a new
  // scenario asks for the next walk by setting walkDue_.
  std::uint64_t walkedSteps_ = 0;
  bool walkDue_ = true;
  char tradingDay_[9] = {};
};

}  // namespace qvsim

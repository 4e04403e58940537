// SimMdApi: the stand-in for the vendor's market-data API object. Logs any user in, answers
// subscriptions one response per instrument, and streams the shared simulated market's snapshots
// of the subscribed instruments on its library thread (core/sessions/session.h).
// Created by CThostFtdcMdApi::CreateFtdcMdApi; freed by Release. The world reaches it as an Endpoint
// (core/world/endpoint.h); its override declarations are generated (tools/gen_sim_api.py).
// loggedIn_, subscriptions_, the walk state and tradingDay_ are guarded by World::mu; spi_ is set
// before Init.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ThostFtdcMdApi.h"
#include "core/sessions/session.h"
#include "core/text/text_map.h"

namespace qvsim {

class SimMdApi final : public CThostFtdcMdApi, public Session {
 public:
  SimMdApi();
  ~SimMdApi() override = default;

  CThostFtdcMdSpi* spi() const { return spi_.load(); }

  // Endpoint: pushed and replayed snapshots of the subscribed instruments.
  void* spiHandle() const override { return spi(); }
  bool offerSnapshotLocked(const CThostFtdcDepthMarketDataField& snapshot, std::uint64_t sequence) override;

#include "core/sessions/md_api_overrides.inc"

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

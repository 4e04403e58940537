// Endpoint: what the shared world, the replay and the control surface see of one stand-in API
// object (a trader or a market-data object, core/sessions/). The world keeps the endpoints from
// Init to Release and reaches them only through this interface: it hands a trader object its
// investor's exchange reports and a market-data object the snapshots it subscribed to, drops and
// restores fronts, and delivers control-surface callbacks.
// Every method ending in Locked REQUIRES World::mu held; postUnsolicited and spiHandle take no
// world lock and may be called with or without it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ThostFtdcUserApiStruct.h"
#include "core/exchange/report.h"

namespace qvsim {

class Endpoint {
 public:
  enum class Kind : char { kTrader = 'T', kMd = 'M' };

  virtual Kind kind() const = 0;

  // Queues a callback that answers no request (returns, pushed snapshots, control deliveries).
  virtual void postUnsolicited(std::function<void()> call) = 0;
  // The host's callback object: a CThostFtdcTraderSpi* for a trader object, a CThostFtdcMdSpi* for
  // a market-data one; null before RegisterSpi.
  virtual void* spiHandle() const = 0;

  // Drops the connection: queued and held answers are lost, OnFrontDisconnected(reason) is queued.
  virtual void dropLocked(int reason) = 0;
  // Moves held answers to the queue; returns how many requests they answer.
  virtual int releaseHeldLocked() = 0;
  // A new scenario was loaded.
  virtual void onScenarioLoadedLocked() {}

  // Trader objects: the investor this object is logged in as; empty when it is not logged in (and
  // for market-data objects).
  virtual const std::string& loggedInInvestorLocked() const {
    static const std::string none;
    return none;
  }
  // Trader objects: the callback that hands the host one exchange report (OnRtnOrder or
  // OnRtnTrade); an empty function for market-data objects.
  virtual std::function<void()> reportCall(const Report& /*report*/) { return {}; }
  // Market-data objects: queues a snapshot when this object is logged in and subscribed to its
  // instrument; returns whether it did.
  virtual bool offerSnapshotLocked(const CThostFtdcDepthMarketDataField& /*snapshot*/, std::uint64_t /*sequence*/) {
    return false;
  }

 protected:
  Endpoint() = default;
  ~Endpoint() = default;
};

}  // namespace qvsim

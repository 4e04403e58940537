// World: the one simulated market of the process, shared by every stand-in API object and by the
// control surface: scenario, broker, market, settings, fronts, hold/refuse rules and the request
// log, and the API objects as endpoints (core/world/endpoint.h). Created on first use (loading the
// scenario named by QVSIM_SCENARIO, if set) and never destroyed, so library threads that outlive
// static destruction still find it.
// The one place where the exchange's reports and snapshots fan out to the API objects: matching a
// snapshot (generated, pushed or replayed), answering an order and ending the day all hand their
// reports to deliverReportsLocked. The replay is reached only through its Timeline.
// Locks: `mu` guards every member but the timeline pointer (atomic; the replay sets it once); see
// core/sessions/session.h for the order against session locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/broker/broker.h"
#include "core/exchange/market.h"
#include "core/exchange/report.h"
#include "core/scenario/scenario.h"
#include "core/world/endpoint.h"
#include "core/world/timeline.h"

namespace qvsim {

struct SimSettings {
  int queriesPerSecond = 1;           // 0: no per-second query limit
  int maxPending = 100;               // 0: no limit on requests waiting for their answer
  std::int64_t latencyMicros = 1000;  // delay of every answer
  double mdPerSecond = 2.0;           // snapshots per second per subscribed instrument; 0 stops the stream
  // Keep each investor's trading day in a database under its trader object's flow path. Off
  // unless the environment sets QVSIM_PERSIST=1, a scenario says "persist": true or the control
  // surface switches it on.
  bool persist = defaultPersist();
  static bool defaultPersist();
  // Refuse a tick file at the first thing its loading would normalise, instead of normalising it.
  bool strictTicks = false;
};

struct FrontState {
  bool up = true;
  std::int64_t restoreAt = 0;  // when down: monotonic time it comes back, 0 for never
};

struct Rule {
  std::string name;  // "ReqQryOrder", or "T:ReqUserLogin" / "M:ReqUserLogin" for one library
  bool hold = false;
  int code = 0;        // refuse: the value the request returns
  int remaining = -1;  // -1: every matching request
};

struct RequestRecord {
  char api = 'T';
  std::string name;
  int requestId = 0;
  int result = 0;
  std::vector<unsigned char> bytes;
};

class World {
 public:
  static World& get();

  // Replaces the scenario: broker and market restart from it. Live sessions keep their connections
  // and subscriptions; users the new scenario lacks are answered as not logged in.
  void loadLocked(const Scenario& scenario);
  // Whether the front of `kind` ('T' or 'M') is up; brings it back when its restore time passed.
  bool frontUpLocked(char kind, std::int64_t nowMicros);
  // The first hold (or refuse) rule matching a request, copied to out with its count consumed;
  // false when none. REQUIRES: mu held.
  bool takeRule(char api, const std::string& name, bool hold, Rule& out);
  void logLocked(RequestRecord record);
  // A new pushed or replayed snapshot of an instrument: it goes to the subscribed market-data
  // objects, then is matched (matchSnapshotLocked). Returns how many objects it was queued for.
  int marketMovedLocked(const CThostFtdcDepthMarketDataField& depth, std::uint64_t sequence);
  // The exchange saw a snapshot (generated ones reach the market-data objects by their own
  // stream): the broker matches its working orders against it and the reports go out.
  void matchSnapshotLocked(const CThostFtdcDepthMarketDataField& depth);

  // Queues exchange reports for every logged-in trader object of their investors, in order. The
  // reports for `answering` join answerCalls instead, behind its answer; with no answerCalls,
  // `answering` gets none (it has answered them itself).
  void deliverReportsLocked(const std::vector<Report>& reports, const Endpoint* answering = nullptr,
                            std::vector<std::function<void()>>* answerCalls = nullptr);
  // Queues the order reports of an answered request for every other logged-in trader object of
  // the same investor, object by object.
  void broadcastOrdersLocked(const Endpoint* from, const std::string& investorId,
                             const std::vector<CThostFtdcOrderField>& orders);

  // The replay's progress as the API objects see it; a market without a replay until one exists.
  Timeline& timeline() { return *timeline_.load(std::memory_order_acquire); }
  // Called once, by the replay as it is created.
  void setTimeline(Timeline* timeline) { timeline_.store(timeline, std::memory_order_release); }

  std::mutex mu;
  SimSettings settings;
  Scenario scenario;
  Broker broker;
  Market market;
  FrontState fronts[2];  // [0] trader, [1] market data
  std::vector<Rule> rules;
  std::vector<RequestRecord> log;
  std::vector<Endpoint*> endpoints;  // from Init to Release
  std::string lastError;

 private:
  World();

  std::atomic<Timeline*> timeline_;
};

}  // namespace qvsim

// World: the one simulated market of the process, shared by every stand-in API object and by the
// control surface: scenario, broker, market, settings, fronts, hold/refuse rules and the request
// log. Created on first use (loading the scenario named by QVSIM_SCENARIO, if set) and never
// destroyed, so library threads that outlive static destruction still find it.
// Locks: `mu` guards every member; see core/session.h for the order against session locks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/broker.h"
#include "core/market.h"
#include "core/scenario.h"

namespace qvsim {

class Session;

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
  // A new snapshot of an instrument: the broker matches its working orders against it and the
  // reports go to the investors' sessions; the snapshot itself goes to the subscribed market-data
  // sessions. Returns how many market-data sessions it was queued for.
  int marketMovedLocked(const CThostFtdcDepthMarketDataField& depth, std::uint64_t sequence);

  std::mutex mu;
  SimSettings settings;
  Scenario scenario;
  Broker broker;
  Market market;
  FrontState fronts[2];  // [0] trader, [1] market data
  std::vector<Rule> rules;
  std::vector<RequestRecord> log;
  std::vector<Session*> sessions;
  std::string lastError;

 private:
  World();
};

}  // namespace qvsim

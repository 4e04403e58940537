#include "core/world/world.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/exchange/exchange_clock.h"

namespace qvsim {

namespace {

// The request log keeps the most recent entries; a long-running host must not grow it forever.
constexpr std::size_t kMaxLogEntries = 200000;

// The market with no replay: requests arrive at once and nothing waits. One for the process, kept,
// like the world, for its whole life.
class NoReplay final : public Timeline {};

Timeline* noReplay() {
  static Timeline* const none = new NoReplay();
  return none;
}

}  // namespace

int World::marketMovedLocked(const CThostFtdcDepthMarketDataField& depth, std::uint64_t sequence) {
  int delivered = 0;
  for (Endpoint* e : endpoints) {
    if (e->offerSnapshotLocked(depth, sequence)) ++delivered;
  }
  matchSnapshotLocked(depth);
  return delivered;
}

void World::matchSnapshotLocked(const CThostFtdcDepthMarketDataField& depth) {
  deliverReportsLocked(broker.onSnapshot(depth));
}

void World::deliverReportsLocked(const std::vector<Report>& reports, const Endpoint* answering,
                                 std::vector<std::function<void()>>* answerCalls) {
  for (const Report& report : reports) {
    for (Endpoint* e : endpoints) {
      const std::string& investor = e->loggedInInvestorLocked();
      if (investor.empty() || (!report.isStatus && investor != report.investorId)) continue;
      if (e == answering) {
        if (answerCalls != nullptr) answerCalls->push_back(e->reportCall(report));
        continue;
      }
      e->postUnsolicited(e->reportCall(report));
    }
  }
}

void World::broadcastOrdersLocked(const Endpoint* from, const std::string& investorId,
                                  const std::vector<CThostFtdcOrderField>& orders) {
  for (Endpoint* e : endpoints) {
    if (e == from || investorId.empty() || e->loggedInInvestorLocked() != investorId) continue;
    for (const CThostFtdcOrderField& order : orders) {
      Report report;
      report.investorId = investorId;
      report.order = order;
      e->postUnsolicited(e->reportCall(report));
    }
  }
}

bool SimSettings::defaultPersist() {
  const char* value = std::getenv("QVSIM_PERSIST");
  return value != nullptr && std::string(value) == "1";
}

World& World::get() {
  static World* world = new World();
  return *world;
}

World::World() : timeline_(noReplay()) {
  Scenario chosen = defaultScenario();
  if (const char* path = std::getenv("QVSIM_SCENARIO"); path != nullptr && *path != '\0') {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    Scenario parsed;
    if (!file) {
      lastError = std::string("cannot read scenario file ") + path;
    } else if (!parseScenario(text.str(), parsed, error)) {
      lastError = std::string("scenario file ") + path + ": " + error;
    } else {
      chosen = parsed;
    }
    if (!lastError.empty()) std::fprintf(stderr, "qvsim: %s; using the built-in scenario\n", lastError.c_str());
  }
  loadLocked(chosen);
}

void World::loadLocked(const Scenario& s) {
  scenario = s;
  clearReplayedTime();
  timeline().closeLocked();
  if (scenario.persist >= 0) settings.persist = scenario.persist != 0;
  broker.load(scenario);
  market.load(broker.instruments(), broker.tradingDay(), scenario.seed);
  for (Endpoint* e : endpoints) e->onScenarioLoadedLocked();
}

bool World::frontUpLocked(char kind, std::int64_t nowMicros) {
  FrontState& front = fronts[kind == 'M' ? 1 : 0];
  if (!front.up && front.restoreAt != 0 && nowMicros >= front.restoreAt) {
    front.up = true;
    front.restoreAt = 0;
  }
  return front.up;
}

bool World::takeRule(char api, const std::string& name, bool hold, Rule& out) {
  const std::string qualified = std::string(1, api) + ":" + name;
  for (auto it = rules.begin(); it != rules.end(); ++it) {
    if (it->hold != hold || (it->name != name && it->name != qualified)) continue;
    out = *it;
    if (it->remaining > 0 && --it->remaining == 0) rules.erase(it);
    return true;
  }
  return false;
}

void World::logLocked(RequestRecord record) {
  if (log.size() >= kMaxLogEntries) log.erase(log.begin(), log.begin() + kMaxLogEntries / 2);
  log.push_back(std::move(record));
}

}  // namespace qvsim

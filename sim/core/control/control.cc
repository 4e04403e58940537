// The qvsim_ control surface (include/qvsim.h): thin shims over the world. Each takes World::mu,
// contains every exception, and reports failures through the return value and qvsim_last_error.
#include "qvsim.h"

#include <cstring>
#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/exchange/exchange_clock.h"
#include "core/replay/replay.h"
#include "core/scenario/scenario.h"
#include "core/sessions/callback_table.h"
#include "core/text/fields.h"
#include "core/world/world.h"

namespace {

using qvsim::World;

int fail(World& w, int code, const std::string& message) {
  w.lastError = message;
  return code;
}

int copyOut(const std::string& text, char* buffer, int size) {
  if (buffer != nullptr && size > 0) {
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

bool validApi(char api) { return api == 'T' || api == 'M'; }

// Runs body under the world lock; an exception becomes QVSIM_ERR_INTERNAL.
template <class Body>
int guarded(Body body) {
  World& w = World::get();
  try {
    std::lock_guard<std::mutex> lock(w.mu);
    return body(w);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(w.mu);
    return fail(w, QVSIM_ERR_INTERNAL, e.what());
  } catch (...) {
    std::lock_guard<std::mutex> lock(w.mu);
    return fail(w, QVSIM_ERR_INTERNAL, "unexpected failure");
  }
}

int loadText(World& w, const std::string& text) {
  qvsim::Scenario scenario;
  std::string error;
  if (!qvsim::parseScenario(text, scenario, error)) return fail(w, QVSIM_ERR_SCENARIO, "scenario: " + error);
  w.loadLocked(scenario);
  return 0;
}

int addRule(const char* request, bool hold, int code, int count) {
  return guarded([&](World& w) {
    if (request == nullptr || *request == '\0' || count == 0 || count < -1) {
      return fail(w, QVSIM_ERR_ARGUMENT, "a rule needs a request name and a count of -1 or more than 0");
    }
    w.rules.push_back(qvsim::Rule{request, hold, code, count});
    return 0;
  });
}

}  // namespace

extern "C" {

int qvsim_load_scenario_json(const char* json) {
  return guarded([&](World& w) {
    if (json == nullptr) return fail(w, QVSIM_ERR_ARGUMENT, "scenario text is null");
    return loadText(w, json);
  });
}

int qvsim_load_scenario_file(const char* path) {
  return guarded([&](World& w) {
    if (path == nullptr) return fail(w, QVSIM_ERR_ARGUMENT, "scenario path is null");
    std::ifstream file(path);
    if (!file) return fail(w, QVSIM_ERR_SCENARIO, std::string("cannot read scenario file ") + path);
    std::stringstream text;
    text << file.rdbuf();
    return loadText(w, text.str());
  });
}

int qvsim_reset(void) {
  qvsim::Replay::get().stop();
  return guarded([](World& w) {
    w.settings = qvsim::SimSettings{};
    w.fronts[0] = w.fronts[1] = qvsim::FrontState{};
    w.rules.clear();
    w.log.clear();
    w.lastError.clear();
    w.loadLocked(qvsim::defaultScenario());
    return 0;
  });
}

int qvsim_last_error(char* buffer, int size) {
  return guarded([&](World& w) { return copyOut(w.lastError, buffer, size); });
}

int qvsim_trading_day(char* buffer, int size) {
  return guarded([&](World& w) { return copyOut(w.broker.tradingDay(), buffer, size); });
}

int qvsim_set_flow_control(int queries_per_second, int max_pending) {
  return guarded([&](World& w) {
    if (queries_per_second < 0 || max_pending < 0) return fail(w, QVSIM_ERR_ARGUMENT, "flow-control limits must not be negative");
    w.settings.queriesPerSecond = queries_per_second;
    w.settings.maxPending = max_pending;
    return 0;
  });
}

int qvsim_set_latency(long long micros) {
  return guarded([&](World& w) {
    if (micros < 0) return fail(w, QVSIM_ERR_ARGUMENT, "latency must not be negative");
    w.settings.latencyMicros = micros;
    return 0;
  });
}

int qvsim_set_md_rate(double snapshots_per_second) {
  return guarded([&](World& w) {
    if (!(snapshots_per_second >= 0.0) || snapshots_per_second > 1000.0) {
      return fail(w, QVSIM_ERR_ARGUMENT, "market-data rate must be between 0 and 1000 per second");
    }
    w.settings.mdPerSecond = snapshots_per_second;
    return 0;
  });
}

int qvsim_set_persistence(int on) {
  return guarded([&](World& w) {
    if (on != 0 && on != 1) return fail(w, QVSIM_ERR_ARGUMENT, "persistence is 0 or 1");
    w.settings.persist = on == 1;
    return 0;
  });
}

int qvsim_drop_front(char api, int reason, long long restore_after_micros) {
  return guarded([&](World& w) {
    if (!validApi(api) || restore_after_micros < 0) return fail(w, QVSIM_ERR_ARGUMENT, "drop needs api 'T' or 'M'");
    qvsim::FrontState& front = w.fronts[api == 'M' ? 1 : 0];
    front.up = false;
    front.restoreAt = restore_after_micros > 0 ? qvsim::monotonicMicros() + restore_after_micros : 0;
    int dropped = 0;
    for (qvsim::Endpoint* s : w.endpoints) {
      if (static_cast<char>(s->kind()) != api) continue;
      s->dropLocked(reason);
      ++dropped;
    }
    return dropped;
  });
}

int qvsim_restore_front(char api) {
  return guarded([&](World& w) {
    if (!validApi(api)) return fail(w, QVSIM_ERR_ARGUMENT, "restore needs api 'T' or 'M'");
    w.fronts[api == 'M' ? 1 : 0] = qvsim::FrontState{};
    return 0;
  });
}

int qvsim_hold_answers(const char* request, int count) { return addRule(request, true, 0, count); }

int qvsim_refuse_requests(const char* request, int code, int count) { return addRule(request, false, code, count); }

int qvsim_clear_rules(void) {
  return guarded([](World& w) {
    w.rules.clear();
    return 0;
  });
}

int qvsim_release_held(void) {
  return guarded([](World& w) {
    int released = 0;
    for (qvsim::Endpoint* s : w.endpoints) released += s->releaseHeldLocked();
    return released;
  });
}

int qvsim_deliver(char api, const char* callback, const void* record, int size, int with_info, int error_id,
                  const char* error_msg, int request_id, int is_last) {
  return guarded([&](World& w) {
    if (!validApi(api) || callback == nullptr) return fail(w, QVSIM_ERR_ARGUMENT, "deliver needs api 'T' or 'M' and a callback name");
    const qvsim::CallbackEntry* entry = api == 'T' ? qvsim::traderCallback(callback) : qvsim::mdCallback(callback);
    if (entry == nullptr) return fail(w, QVSIM_ERR_UNKNOWN, std::string("no callback named ") + callback);
    if (record != nullptr && (size < 0 || static_cast<std::size_t>(size) != entry->recordSize)) {
      return fail(w, QVSIM_ERR_SIZE, std::string(callback) + " takes a record of " +
                                         std::to_string(entry->recordSize) + " bytes, not " + std::to_string(size));
    }
    std::vector<unsigned char> bytes;
    if (record != nullptr) bytes.assign(static_cast<const unsigned char*>(record), static_cast<const unsigned char*>(record) + size);
    std::optional<CThostFtdcRspInfoField> info;
    if (with_info != 0) {
      info = qvsim::zeroRecord<CThostFtdcRspInfoField>();
      info->ErrorID = error_id;
      if (error_msg != nullptr) qvsim::setText(info->ErrorMsg, error_msg);
    }
    const bool hasRecord = record != nullptr;
    const qvsim::CallbackEntry entryCopy = *entry;
    int delivered = 0;
    for (qvsim::Endpoint* s : w.endpoints) {
      if (static_cast<char>(s->kind()) != api) continue;
      void* spi = s->spiHandle();
      if (spi == nullptr) continue;
      // Each object gets its own copy of the record, as a library passes its own buffer.
      s->postUnsolicited([entryCopy, spi, bytes, info, hasRecord, error_id, request_id, is_last]() mutable {
        qvsim::CallbackArgs args;
        args.record = hasRecord ? bytes.data() : nullptr;
        args.info = info ? &*info : nullptr;
        args.requestId = request_id;
        args.isLast = is_last != 0;
        args.number = error_id;
        entryCopy.invoke(spi, args);
      });
      ++delivered;
    }
    return delivered;
  });
}

int qvsim_push_depth(const void* snapshot, int size) {
  return guarded([&](World& w) {
    if (snapshot == nullptr || size != static_cast<int>(sizeof(CThostFtdcDepthMarketDataField))) {
      return fail(w, QVSIM_ERR_SIZE, "push needs a CThostFtdcDepthMarketDataField of " +
                                         std::to_string(sizeof(CThostFtdcDepthMarketDataField)) + " bytes");
    }
    CThostFtdcDepthMarketDataField depth;
    std::memcpy(&depth, snapshot, sizeof(depth));
    return w.marketMovedLocked(depth, w.market.push(depth));
  });
}

int qvsim_set_replay_strict(int on) {
  return guarded([&](World& w) {
    if (on != 0 && on != 1) return fail(w, QVSIM_ERR_ARGUMENT, "strict replay is 0 or 1");
    w.settings.strictTicks = on == 1;
    return 0;
  });
}

int qvsim_replay_open(const char* path) {
  if (path == nullptr || *path == '\0') {
    return guarded([](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "replay needs a tick file"); });
  }
  std::string error;
  long long count = -1;
  try {
    count = qvsim::Replay::get().open(path, error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (count >= 0) return static_cast<int>(std::min<long long>(count, 0x7fffffff));
  return guarded([&](World& w) { return fail(w, QVSIM_ERR_SCENARIO, error); });
}

int qvsim_replay_check(const char* path, char* summary, int summary_size) {
  if (summary == nullptr || summary_size < 64) return QVSIM_ERR_ARGUMENT;
  if (path == nullptr || *path == '\0') {
    copyOut("replay needs a tick file", summary, summary_size);
    return QVSIM_ERR_ARGUMENT;
  }
  std::string error;
  std::string text;
  qvsim::TickFile file;
  try {
    if (qvsim::Replay::check(path, file, error)) {
      for (const std::string& day : file.tradingDays) text += "day " + day + "\n";
      for (const qvsim::TickInstrument& i : file.instruments) {
        text += "instrument " + i.instrumentId + " " + i.exchangeId + " " + std::to_string(i.ticks) + "\n";
      }
      for (std::size_t k = 0; k < qvsim::kNormalisationKinds; ++k) {
        text += std::string("normalised ") + qvsim::kNormalisationNames[k] + " " + std::to_string(file.normalised.counts[k]) + "\n";
      }
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) {
    copyOut(error, summary, summary_size);
    return QVSIM_ERR_SCENARIO;
  }
  if (text.size() >= static_cast<std::size_t>(summary_size)) {
    copyOut("the summary needs " + std::to_string(text.size() + 1) + " bytes", summary, summary_size);
    return QVSIM_ERR_ARGUMENT;
  }
  copyOut(text, summary, summary_size);
  return static_cast<int>(std::min<std::size_t>(file.ticks.size(), 0x7fffffff));
}

int qvsim_replay_play(double speed) {
  std::string error;
  if (qvsim::Replay::get().play(speed, error)) return 0;
  return guarded([&](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, error); });
}

int qvsim_replay_file(const char* path, double speed) {
  if (!(speed >= 0.0)) {
    return guarded([](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "replay speed must not be negative"); });
  }
  const int count = qvsim_replay_open(path);
  if (count < 0) return count;
  const int played = qvsim_replay_play(speed);
  return played < 0 ? played : count;
}

int qvsim_replay_instrument_count(void) {
  return static_cast<int>(qvsim::Replay::get().instruments().size());
}

int qvsim_replay_instrument_at(int index, char* instrument, int instrument_size, char* exchange, int exchange_size,
                               long long* snapshots) {
  const std::vector<qvsim::TickInstrument> seen = qvsim::Replay::get().instruments();
  if (index < 0 || static_cast<std::size_t>(index) >= seen.size()) {
    return guarded([&](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "no replayed instrument at index " + std::to_string(index)); });
  }
  const qvsim::TickInstrument& entry = seen[static_cast<std::size_t>(index)];
  copyOut(entry.exchangeId, exchange, exchange_size);
  if (snapshots != nullptr) *snapshots = entry.ticks;
  return copyOut(entry.instrumentId, instrument, instrument_size);
}

int qvsim_replay_trading_day_count(void) {
  return static_cast<int>(qvsim::Replay::get().tradingDays().size());
}

int qvsim_replay_trading_day_at(int index, char* day, int day_size) {
  const std::vector<std::string> days = qvsim::Replay::get().tradingDays();
  if (index < 0 || static_cast<std::size_t>(index) >= days.size()) {
    return guarded([&](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "no trading day at index " + std::to_string(index)); });
  }
  return copyOut(days[static_cast<std::size_t>(index)], day, day_size);
}

int qvsim_replay_normalisation_kinds(void) { return static_cast<int>(qvsim::kNormalisationKinds); }

int qvsim_replay_normalised(int index, char* name, int name_size, long long* count) {
  if (index < 0 || static_cast<std::size_t>(index) >= qvsim::kNormalisationKinds) {
    return guarded([&](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "no normalisation of index " + std::to_string(index)); });
  }
  const qvsim::NormalisationCounts counts = qvsim::Replay::get().normalised();
  if (count != nullptr) *count = counts.counts[static_cast<std::size_t>(index)];
  return copyOut(qvsim::kNormalisationNames[index], name, name_size);
}

int qvsim_replay_progress(long long* delivered, long long* total) {
  long long d = 0;
  long long t = 0;
  qvsim::Replay::get().progress(d, t);
  if (delivered != nullptr) *delivered = d;
  if (total != nullptr) *total = t;
  return 0;
}

int qvsim_replay_wait(long long timeout_micros) { return qvsim::Replay::get().wait(timeout_micros) ? 1 : 0; }

int qvsim_replay_stop(void) {
  qvsim::Replay::get().stop();
  return 0;
}

// Day roll: settle under the lock and queue the expiry reports; each trader object drops its own
// connection once it delivered them, so that nothing the day's end reported is lost with the front.
int qvsim_roll_day(const char* trading_day, long long reconnect_after_micros) {
  constexpr int kDisconnectReason = 0x1001;  // the vendor's "network read failure"
  if (!qvsim::Replay::get().wait(0)) {
    return guarded([](World& w) { return fail(w, QVSIM_ERR_ARGUMENT, "a replay is running; the day cannot end"); });
  }
  return guarded([&](World& w) {
    const std::string day = trading_day != nullptr ? trading_day : "";
    const bool digits = day.size() == 8 && std::all_of(day.begin(), day.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || reconnect_after_micros < 0) {
      return fail(w, QVSIM_ERR_ARGUMENT, "a day roll needs a trading day YYYYMMDD, not \"" + day + "\"");
    }
    if (day <= w.broker.tradingDay()) {
      return fail(w, QVSIM_ERR_ARGUMENT, "trading day " + day + " does not follow " + w.broker.tradingDay());
    }
    w.deliverReportsLocked(w.broker.settleDay(day));
    w.scenario.tradingDay = day;
    qvsim::FrontState& front = w.fronts[0];
    front.up = false;
    front.restoreAt = qvsim::monotonicMicros() + std::max<long long>(reconnect_after_micros, 1);
    for (qvsim::Endpoint* s : w.endpoints) {
      if (s->kind() != qvsim::Endpoint::Kind::kTrader) continue;
      s->postUnsolicited([s] {
        World& world = World::get();
        std::lock_guard<std::mutex> lock(world.mu);
        s->dropLocked(kDisconnectReason);
      });
    }
    return 0;
  });
}

int qvsim_request_count(void) {
  return guarded([](World& w) { return static_cast<int>(w.log.size()); });
}

int qvsim_request_at(int index, char* api, char* name, int name_size, int* request_id, int* result, void* record,
                     int record_size) {
  return guarded([&](World& w) {
    if (index < 0 || static_cast<std::size_t>(index) >= w.log.size()) {
      return fail(w, QVSIM_ERR_ARGUMENT, "no request at index " + std::to_string(index));
    }
    const qvsim::RequestRecord& r = w.log[static_cast<std::size_t>(index)];
    if (api != nullptr) *api = r.api;
    copyOut(r.name, name, name_size);
    if (request_id != nullptr) *request_id = r.requestId;
    if (result != nullptr) *result = r.result;
    if (record != nullptr && record_size > 0) {
      std::memcpy(record, r.bytes.data(), std::min(r.bytes.size(), static_cast<std::size_t>(record_size)));
    }
    return static_cast<int>(r.bytes.size());
  });
}

int qvsim_clear_requests(void) {
  return guarded([](World& w) {
    w.log.clear();
    return 0;
  });
}

int qvsim_session_count(char api) {
  return guarded([&](World& w) {
    if (!validApi(api)) return fail(w, QVSIM_ERR_ARGUMENT, "session count needs api 'T' or 'M'");
    int count = 0;
    for (qvsim::Endpoint* s : w.endpoints) count += static_cast<char>(s->kind()) == api ? 1 : 0;
    return count;
  });
}

}  // extern "C"

// The simulated exchange through the stand-in's API: orders matched (an order that crosses the
// displayed book, from the insert call to its trade report on the library's callback thread) and
// orders canceled (an order that rests, then its cancel, to the cancel's report), each on an empty
// day and with 32,000 orders already in the day, with the day kept in SQLite and without; the
// program prints each full day's cost as a ratio to the empty day's, measured in the same run.
// Also snapshots replayed per second (a tick file played as fast as one subscriber takes it,
// matched against resting orders).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "qvsim.h"
#include "support/best_reporter.h"
#include "support/count_waiter.h"
#include "support/md_subscriber.h"
#include "support/sim_orders.h"

namespace {

using qv_bench::order;
using qv_bench::put;

constexpr char kScenario[] = R"({"tradingDay": "20260108", "initialFunds": 1e13,
  "instruments": [{"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1,
                   "marginRatio": 0.1, "preSettlementPrice": 3500, "maxLimitOrderVolume": 500}]})";

class TraderSpi final : public CThostFtdcTraderSpi {
 public:
  void OnFrontConnected() override { steps.add(); }
  void OnRspAuthenticate(CThostFtdcRspAuthenticateField*, CThostFtdcRspInfoField*, int, bool) override { steps.add(); }
  void OnRspUserLogin(CThostFtdcRspUserLoginField* login, CThostFtdcRspInfoField*, int, bool) override {
    if (login != nullptr) {
      frontId = login->FrontID;
      sessionId = login->SessionID;
    }
    steps.add();
  }
  void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField*, CThostFtdcRspInfoField*, int, bool) override {
    steps.add();
  }
  void OnRtnOrder(CThostFtdcOrderField*) override { orders.add(); }
  void OnRtnTrade(CThostFtdcTradeField*) override { trades.add(); }
  qv_bench::CountWaiter steps;
  qv_bench::CountWaiter orders;
  qv_bench::CountWaiter trades;
  int frontId = 0;
  int sessionId = 0;
};

// A trader object logged in as u1 and confirmed, on a fresh exchange; with a flow path, the
// trading day is kept there.
CThostFtdcTraderApi* connectTrader(TraderSpi& spi, const std::string& flowPath = "") {
  qvsim_reset();
  qvsim_set_flow_control(0, 0);
  qvsim_set_latency(0);
  qvsim_set_md_rate(0);
  qvsim_set_persistence(flowPath.empty() ? 0 : 1);
  qvsim_load_scenario_json(kScenario);
  CThostFtdcTraderApi* api = CThostFtdcTraderApi::CreateFtdcTraderApi(flowPath.c_str());
  api->RegisterSpi(&spi);
  api->Init();
  spi.steps.waitFor(1);
  CThostFtdcReqAuthenticateField auth{};
  put(auth.BrokerID, "9999");
  put(auth.UserID, "u1");
  put(auth.AppID, "simnow_client_test");
  put(auth.AuthCode, "0000000000000000");
  api->ReqAuthenticate(&auth, 1);
  spi.steps.waitFor(2);
  CThostFtdcReqUserLoginField login{};
  put(login.BrokerID, "9999");
  put(login.UserID, "u1");
  put(login.Password, "pw");
  api->ReqUserLogin(&login, 2);
  spi.steps.waitFor(3);
  CThostFtdcSettlementInfoConfirmField confirm{};
  api->ReqSettlementInfoConfirm(&confirm, 3);
  spi.steps.waitFor(4);
  return api;
}

void pushBook(double bid, double ask, int volume) {
  CThostFtdcDepthMarketDataField d{};
  put(d.InstrumentID, "rb2605");
  d.LastPrice = bid;
  d.BidPrice1 = bid;
  d.AskPrice1 = ask;
  d.BidVolume1 = d.AskVolume1 = volume;
  qvsim_push_depth(&d, sizeof(d));
}

constexpr long kFullDay = 32000;

// A trader object logged in on a book of bid 3500 / ask 3501, with state.range(0) orders resting
// far from the market beforehand, as a long day's working orders would; with state.range(1) the
// trading day is kept in SQLite under a flow path of its own.
class Day {
 public:
  explicit Day(const benchmark::State& state)
      : flow_("/tmp/qvsim_bench_flow_" + std::to_string(getpid()) + "/") {
    std::filesystem::remove_all(flow_);
    api = connectTrader(spi, state.range(1) != 0 ? flow_ : "");
    pushBook(3500, 3501, 1 << 30);
    for (long i = 0; i < state.range(0); ++i) {
      auto resting = order('0', '0', 3300 - i % 100);
      api->ReqOrderInsert(&resting, ++requestId);
    }
    spi.orders.waitFor(2 * state.range(0));
  }
  ~Day() {
    api->Release();
    qvsim_set_persistence(0);
    std::filesystem::remove_all(flow_);
  }
  Day(const Day&) = delete;
  Day& operator=(const Day&) = delete;

  TraderSpi spi;
  CThostFtdcTraderApi* api = nullptr;
  int requestId = 10;

 private:
  std::string flow_;
};

// One crossing order per iteration, alternately opening and closing a lot.
void BM_OrdersMatched(benchmark::State& state) {
  Day day(state);
  long trades = 0;
  for (auto _ : state) {
    auto o = (trades % 2 == 0) ? order('0', '0', 3501) : order('1', THOST_FTDC_OF_CloseToday, 3500);
    day.api->ReqOrderInsert(&o, ++day.requestId);
    day.spi.trades.waitFor(++trades);
  }
  state.SetItemsProcessed(trades);
}

// One order per iteration that rests (its accepted report) and is canceled by its reference (the
// cancel's report).
void BM_OrdersCanceled(benchmark::State& state) {
  Day day(state);
  long reports = 2 * state.range(0);
  for (auto _ : state) {
    auto o = order('0', '0', 3300);
    const std::string ref = std::to_string(++day.requestId);
    put(o.OrderRef, ref.c_str());
    day.api->ReqOrderInsert(&o, day.requestId);
    day.spi.orders.waitFor(reports += 2);
    CThostFtdcInputOrderActionField cancel{};
    put(cancel.OrderRef, ref.c_str());
    put(cancel.InstrumentID, "rb2605");
    cancel.FrontID = day.spi.frontId;
    cancel.SessionID = day.spi.sessionId;
    cancel.ActionFlag = THOST_FTDC_AF_Delete;
    day.api->ReqOrderAction(&cancel, ++day.requestId);
    day.spi.orders.waitFor(++reports);
  }
  state.SetItemsProcessed(state.iterations());
}

// Args: orders already in the day, trading day kept in SQLite (1) or not (0). A fixed number of
// iterations keeps the empty day nearly empty; the fastest of three runs counts. CPU time is the
// process's (every thread's), less disturbed than real time by other programs on the machine.
void dayArgs(benchmark::internal::Benchmark* b) {
  b->Args({0, 0})->Args({kFullDay, 0})->Args({0, 1})->Args({kFullDay, 1});
  b->Iterations(3000)->Repetitions(3)->MeasureProcessCPUTime()->UseRealTime();
}
BENCHMARK(BM_OrdersMatched)->Apply(dayArgs);
BENCHMARK(BM_OrdersCanceled)->Apply(dayArgs);

// Replays a file of state.range(0) snapshots, as fast as one market-data subscriber takes them,
// with 20 resting orders of the trader to match on every snapshot.
void BM_SnapshotsReplayed(benchmark::State& state) {
  const std::string path = "/tmp/qvsim_bench_" + std::to_string(getpid()) + ".csv";
  {
    std::ofstream out(path);
    out << "InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,"
           "AskVolume1\n";
    for (long i = 0; i < state.range(0); ++i) {
      const long price = 3500 + (i * 7 % 21) - 10;
      char line[160];
      std::snprintf(line, sizeof(line), "rb2605,SHFE,%02ld:%02ld:%02ld,%ld,%ld,%ld,%ld,50,%ld,50\n", 9 + i / 7200,
                    (i / 120) % 60, (i / 2) % 60, (i % 2) * 500, price, 100 + i, price - 1, price);
      out << line;
    }
  }
  TraderSpi spi;
  CThostFtdcTraderApi* api = connectTrader(spi);
  int id = 10;
  for (int i = 0; i < 10; ++i) {
    auto buy = order('0', '0', 3300 + i);
    auto sell = order('1', '0', 3700 - i);
    api->ReqOrderInsert(&buy, ++id);
    api->ReqOrderInsert(&sell, ++id);
  }
  spi.orders.waitFor(40);
  qv_bench::MdSubscriber subscriber({"rb2605"});

  long snapshots = 0;
  for (auto _ : state) {
    const long played = qvsim_replay_file(path.c_str(), 0.0);
    if (played < 0) {
      state.SkipWithError("the tick file was refused");
      break;
    }
    snapshots += played;
    qvsim_replay_wait(-1);
  }
  state.SetItemsProcessed(snapshots);
  api->Release();
  std::remove(path.c_str());
}
BENCHMARK(BM_SnapshotsReplayed)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qv_bench::BestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nA day of %ld orders against an empty day (cost per order, real time and process CPU time):\n", kFullDay);
  for (const char* name : {"BM_OrdersMatched", "BM_OrdersCanceled"}) {
    for (int kept = 0; kept <= 1; ++kept) {
      std::string tail = std::to_string(kept);  // appended, not "/" + string&&: GCC 12 -O3 misreads that
      tail.insert(tail.begin(), '/');
      tail += "/iterations:3000/repeats:3/process_time/real_time";
      const auto empty = reporter.times(std::string(name) + "/0" + tail);
      const auto full = reporter.times(std::string(name) + "/" + std::to_string(kFullDay) + tail);
      if (empty.real <= 0.0 || full.real <= 0.0) continue;
      std::printf("  %-18s %-9s real %7.1f -> %7.1f us: %.2fx   CPU %7.1f -> %7.1f us: %.2fx\n", name,
                  kept ? "SQLite" : "in memory", empty.real / 1e3, full.real / 1e3, full.real / empty.real,
                  empty.cpu / 1e3, full.cpu / 1e3, full.cpu / empty.cpu);
    }
  }
  benchmark::Shutdown();
  return 0;
}

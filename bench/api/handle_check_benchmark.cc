// The cost of the handle check every export makes (is this a client init handed out?) against the
// exports it guards, measured in the same run. The registry holds nine clients, one per account
// type init accepts, and the handle checked is the last one admitted: the longest scan a process
// can see. Baselines: getUsableCash (the cheapest export, a cash read), getOrder (an order-book
// look-up) and buy of one lot (order entry up to the library call, which does nothing here).
// After the run the check's share of each is printed; the target is a few percent of getOrder
// and under 1% of buy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "api/client_registry.h"
#include "api/export_guard.h"
#include "api/exports.h"
#include "support/python_bench.h"
#include "support/quiet_engine.h"
#include "trading/instrument_table.h"

namespace {

using qv_bench::QuietEngine;

constexpr int kAccountTypes = 9;
constexpr int kBuyIterations = 200000;

QuietEngine* gClient = nullptr;
int32_t gOrderId = 0;

void admitClients() {
  // Clients stand for the process's whole life, as init's do.
  for (int i = 0; i < kAccountTypes; ++i) {
    gClient = new QuietEngine(kBuyIterations + 1);
    qv::api::clientRegistry().TEST_admit(gClient);
  }
  CThostFtdcInstrumentField record{};
  qv::copyText(record.InstrumentID, "hc2501");
  qv::copyText(record.ExchangeID, "DCE");
  record.VolumeMultiple = 10;
  record.LongMarginRatio = record.ShortMarginRatio = 0.1;
  record.MaxLimitOrderVolume = record.MaxMarketOrderVolume = 500;
  record.MinLimitOrderVolume = record.MinMarketOrderVolume = 1;
  record.PriceTick = 1;
  qv::enterInstrument(record);
  gOrderId = ::buy(gClient, "hc2501", 1, '0', 4000, 1, "DCE", 0)->OrderID;
}

void BM_HandleCheck(benchmark::State& state) {
  const qv::TraderClient* handle = gClient;
  for (auto _ : state) {
    benchmark::DoNotOptimize(handle);
    benchmark::DoNotOptimize(qv::api::knownHandle(handle));
  }
}
BENCHMARK(BM_HandleCheck);

void BM_GetUsableCash(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(::getUsableCash(gClient));
}
BENCHMARK(BM_GetUsableCash);

void BM_GetOrder(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(::getOrder(gClient, gOrderId));
}
BENCHMARK(BM_GetOrder);

void BM_BuyOneLot(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(::buy(gClient, "hc2501", 1, '0', 4000, 1, "DCE", 0));
}
// Every call makes a holder that lives as long as the client: the run is capped.
BENCHMARK(BM_BuyOneLot)->Iterations(kBuyIterations);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  admitClients();
  qv_bench::BestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double check = reporter.best("BM_HandleCheck");
  const double cash = reporter.best("BM_GetUsableCash");
  const double order = reporter.best("BM_GetOrder");
  const double buy = reporter.best("BM_BuyOneLot");
  if (check > 0 && cash > 0 && order > 0 && buy > 0) {
    std::printf("handle check %.1f ns: ratio %.3f of getUsableCash (%.1f ns), %.3f of getOrder "
                "(%.1f ns), %.4f of buy (%.1f ns)\n",
                check, check / cash, cash, check / order, order, check / buy, buy);
  }
  benchmark::Shutdown();
  return 0;
}

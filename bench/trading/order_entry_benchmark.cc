// Order entry up to the library call: `buy` of 5 lots on an SHFE instrument holding 2 yesterday
// and 1 today short lots, which plans, prices, sizes, freezes and sends three orders (close
// yesterday, close today, open the rest) linked in one chain. The engine's library call does
// nothing, so the figure is the runtime's own cost per export call; the target is under 2 us.
// Two variants: the caller's price, and a price read from the instrument's snapshot.
//
// Every iteration makes three order holders that live as long as the engine (as they do for a
// client), so the run is capped at a fixed number of iterations to bound memory. A client sends a
// few thousand orders a day, well inside the order book's reservation and on heap pages it has
// touched before; the run reproduces that: the book is reserved for every order the run makes and
// the heap is touched once beforehand, so the figure is not the kernel's first-touch page faults.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "base/text.h"
#include "support/quiet_engine.h"
#include "trading/instrument_table.h"

namespace {

using qv_bench::QuietEngine;

qv::InstrumentInfo* benchInstrument() {
  CThostFtdcInstrumentField record{};
  qv::copyText(record.InstrumentID, "bench2501");
  qv::copyText(record.ExchangeID, "SHFE");
  record.VolumeMultiple = 10;
  record.LongMarginRatio = record.ShortMarginRatio = 0.1;
  record.MaxLimitOrderVolume = record.MaxMarketOrderVolume = 500;
  record.MinLimitOrderVolume = record.MinMarketOrderVolume = 1;
  record.PriceTick = 1;
  return qv::enterInstrument(record);
}

constexpr int kIterations = 200000;
constexpr int kOrdersPerCall = 3;

// Touches enough heap for every holder of the run and gives it back to the allocator, which keeps
// it (no trimming) for the holders to come.
void touchHeap() {
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  std::vector<void*> blocks;
  for (int i = 0; i < kIterations * kOrdersPerCall; ++i) {
    void* block = std::malloc(sizeof(qv::OrderHolder));
    static_cast<char*>(block)[0] = 1;
    blocks.push_back(block);
  }
  for (void* block : blocks) std::free(block);
}

void buyWithTwoStepClose(benchmark::State& state, char orderType) {
  touchHeap();
  auto engine = std::make_unique<QuietEngine>(kIterations * kOrdersPerCall);
  qv::InstrumentInfo* instrument = benchInstrument();
  auto* snapshot = new qv::SnapshotEntry{};
  snapshot->record.AskPrice1 = 4001;
  snapshot->record.BidPrice1 = 3999;
  snapshot->record.UpperLimitPrice = 4400;
  snapshot->record.LowerLimitPrice = 3600;
  engine->snapshots().insert(instrument->key, snapshot);
  qv::PositionHolder* position = engine->positionFor(instrument->key, true, instrument, nullptr,
                                                     instrument->ExchangeID,
                                                     instrument->InstrumentID);
  CQVPositionField& p = position->record;
  p.ShortVolumeHistory = 2;
  p.ShortVolumeToday = 1;
  p.ShortVolume = 3;
  for (auto _ : state) {
    // What the previous call froze is given back, as the exchange's fills would.
    p.ShortVolumeHistoryFrozen = p.ShortVolumeTodayFrozen = p.ShortVolumeFrozen = 0;
    benchmark::DoNotOptimize(engine->buy(instrument, 5, orderType, 4000, 1, 0));
  }
  state.SetItemsProcessed(state.iterations() * kOrdersPerCall);  // orders sent
  engine.release();  // its holders are never freed, as in the runtime
}

void BM_BuyTwoStepCloseCallerPrice(benchmark::State& state) { buyWithTwoStepClose(state, '0'); }
void BM_BuyTwoStepCloseSnapshotPrice(benchmark::State& state) { buyWithTwoStepClose(state, '1'); }

BENCHMARK(BM_BuyTwoStepCloseCallerPrice)->Iterations(kIterations);
BENCHMARK(BM_BuyTwoStepCloseSnapshotPrice)->Iterations(kIterations);

}  // namespace

BENCHMARK_MAIN();

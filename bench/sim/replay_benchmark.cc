// Replays and tick files, against baselines measured in the same run:
// - a file played at speed 0 (deterministic lock step) to a native subscriber that only counts,
//   with one instrument subscribed and with 1,000 (the file then cycles through all of them),
//   against a bare two-thread hand-off (one round trip per iteration);
// - a tick file read and checked (qvsim_replay_open), against a plain pass over its bytes that
//   counts its lines (both single-threaded, in CPU time).
// The program ends with a table of snapshots (rows) per second and the ratios.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qvsim.h"
#include "support/best_reporter.h"
#include "support/handoff_baseline.h"
#include "support/md_subscriber.h"

namespace {

constexpr long kReplayedSnapshots = 100000;
constexpr long kLoadedRows = 300000;

std::string instrumentName(long i) {
  char name[32];
  std::snprintf(name, sizeof(name), "x%04ld", i);
  return name;
}

void loadScenario(long instruments) {
  std::string json = R"({"tradingDay": "20260108", "instruments": [)";
  for (long i = 0; i < instruments; ++i) {
    json += (i > 0 ? "," : "") + std::string(R"({"instrumentId": ")") + instrumentName(i) +
            R"(", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500})";
  }
  json += "]}";
  qvsim_reset();
  qvsim_set_md_rate(0);
  qvsim_set_latency(0);
  qvsim_set_flow_control(0, 0);
  if (qvsim_load_scenario_json(json.c_str()) != 0) std::fprintf(stderr, "scenario refused\n");
}

// A day of `rows` full snapshots cycling through `instruments` instruments, half a second apart.
std::string writeTicks(long rows, long instruments) {
  const std::string path = "/tmp/qvsim_replay_bench_" + std::to_string(getpid()) + "_" + std::to_string(rows) + "_" +
                           std::to_string(instruments) + ".csv";
  std::ofstream out(path);
  out << "TradingDay,InstrumentID,ExchangeID,UpdateTime,UpdateMillisec,LastPrice,Volume,Turnover,OpenInterest,"
         "BidPrice1,BidVolume1,AskPrice1,AskVolume1,BidPrice2,BidVolume2,AskPrice2,AskVolume2,BidPrice3,BidVolume3,"
         "AskPrice3,AskVolume3,BidPrice4,BidVolume4,AskPrice4,AskVolume4,BidPrice5,BidVolume5,AskPrice5,AskVolume5,"
         "UpperLimitPrice,LowerLimitPrice,PreSettlementPrice,PreClosePrice,PreOpenInterest,OpenPrice,HighestPrice,"
         "LowestPrice,AveragePrice,ActionDay\n";
  char line[512];
  for (long i = 0; i < rows; ++i) {
    const long price = 3500 + (i * 7 % 21) - 10;
    const long second = i / 2 / instruments;
    std::snprintf(line, sizeof(line),
                  "20260108,%s,SHFE,%02ld:%02ld:%02ld,%ld,%ld.0,%ld,%ld.0,1849991,%ld.0,75,%ld.0,74,%ld.0,169,%ld.0,"
                  "160,%ld.0,154,%ld.0,43,%ld.0,13,%ld.0,42,%ld.0,164,%ld.0,76,3745.0,3255.0,3500.0,3498.0,1850000,"
                  "3512.0,3530.0,3490.0,3512.25,20260108\n",
                  instrumentName(i % instruments).c_str(), 9 + second / 3600, second / 60 % 60, second % 60,
                  (i / instruments) % 2 * 500, price, 100 + i, (100 + i) * 35000, price - 1, price, price - 2,
                  price + 1, price - 3, price + 2, price - 4, price + 3, price - 5, price + 4);
    out << line;
  }
  return path;
}

void BM_ThreadHandoffBaseline(benchmark::State& state) { qv_bench::threadHandoffRoundTrips(state); }
BENCHMARK(BM_ThreadHandoffBaseline)->UseRealTime();

// One iteration plays the whole file (read beforehand, untimed); items are snapshots. Args:
// instruments subscribed (and in the file).
void BM_ReplayToSubscriber(benchmark::State& state) {
  const long instruments = state.range(0);
  loadScenario(instruments);
  const std::string path = writeTicks(kReplayedSnapshots, instruments);
  std::vector<std::string> names;
  for (long i = 0; i < instruments; ++i) names.push_back(instrumentName(i));
  qv_bench::MdSubscriber subscriber(names);
  long played = 0;
  for (auto _ : state) {
    state.PauseTiming();
    played += qvsim_replay_open(path.c_str());
    state.ResumeTiming();
    qvsim_replay_play(0.0);
    qvsim_replay_wait(-1);
  }
  if (subscriber.snapshots() != played) state.SkipWithError("the subscriber missed snapshots");
  state.SetItemsProcessed(played);
  std::remove(path.c_str());
}
BENCHMARK(BM_ReplayToSubscriber)->Arg(1)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Reads the file's bytes once and counts its lines: the least a loader must do.
void BM_FileReadBaseline(benchmark::State& state) {
  const std::string path = writeTicks(kLoadedRows, 3);
  std::vector<char> buffer(1 << 20);
  long rows = 0;
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    long lines = 0;
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
      for (const char* p = buffer.data(); (p = static_cast<const char*>(std::memchr(p, '\n', buffer.data() + got - p)));
           ++p) {
        ++lines;
      }
    }
    std::fclose(file);
    benchmark::DoNotOptimize(lines);
    rows += lines - 1;
  }
  state.SetItemsProcessed(rows);
  std::remove(path.c_str());
}
BENCHMARK(BM_FileReadBaseline)->Unit(benchmark::kMillisecond);

// Items are the file's rows: those past the morning's sessions are read, checked and left out
// as outside the sessions, as a recorder's file of the whole day would be.
void BM_TickFileLoad(benchmark::State& state) {
  loadScenario(3);
  const std::string path = writeTicks(kLoadedRows, 3);
  long rows = 0;
  for (auto _ : state) {
    if (qvsim_replay_open(path.c_str()) <= 0) state.SkipWithError("the file was refused");
    rows += kLoadedRows;
  }
  state.SetItemsProcessed(rows);
  std::remove(path.c_str());
}
BENCHMARK(BM_TickFileLoad)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qv_bench::BestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double handoff = reporter.times("BM_ThreadHandoffBaseline/real_time").perItem;
  const double one = reporter.times("BM_ReplayToSubscriber/1/real_time").perItem;
  const double many = reporter.times("BM_ReplayToSubscriber/1000/real_time").perItem;
  const double read = reporter.times("BM_FileReadBaseline").perItem;
  const double load = reporter.times("BM_TickFileLoad").perItem;
  auto rate = [](double ns) { return ns > 0 ? 1e9 / ns : 0.0; };
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("\n%-44s %14s %10s\n", "per item", "per second", "ratio");
  std::printf("%-44s %14.0f %10s\n", "bare thread hand-off (baseline)", rate(handoff), "1.00");
  std::printf("%-44s %14.0f %9.2fx  of a hand-off\n", "replay, 1 instrument subscribed", rate(one), ratio(one, handoff));
  std::printf("%-44s %14.0f %9.2fx  of a hand-off, %.2fx of 1 instrument\n", "replay, 1,000 instruments subscribed",
              rate(many), ratio(many, handoff), ratio(many, one));
  std::printf("%-44s %14.0f %10s\n", "reading the file's lines (baseline)", rate(read), "1.00");
  std::printf("%-44s %14.0f %9.2fx  of reading\n", "tick file read and checked", rate(load), ratio(load, read));
  benchmark::Shutdown();
  return 0;
}

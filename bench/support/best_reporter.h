// BestReporter: Google Benchmark's console output, plus each benchmark's fastest run over its
// repetitions, so that a benchmark program can print ratios to a baseline measured in the same
// run. A run is kept under its full name ("BM_X/10/real_time") and under its function name
// ("BM_X", the fastest over all its arguments).
#ifndef QV_BENCH_SUPPORT_BEST_REPORTER_H
#define QV_BENCH_SUPPORT_BEST_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace qv_bench {

// Nanoseconds per iteration of the fastest run; perItem is per item processed (from the benchmark's
// own items-per-second rate), and the real time per iteration when it counts no items.
struct BestTimes {
  double real = 0.0;
  double cpu = 0.0;
  double perItem = 0.0;
};

class BestReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const BestTimes times = timesOf(run);
      keep(run.benchmark_name(), times);
      if (run.run_name.function_name != run.benchmark_name()) keep(run.run_name.function_name, times);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The fastest times of `name`, all 0 when it did not run.
  BestTimes times(const std::string& name) const {
    auto it = best_.find(name);
    return it == best_.end() ? BestTimes{} : it->second;
  }
  // The fastest real time of `name`, 0 when it did not run.
  double best(const std::string& name) const { return times(name).real; }

 private:
  static BestTimes timesOf(const Run& run) {
    BestTimes times{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), 0.0};
    auto items = run.counters.find("items_per_second");
    const bool counted = items != run.counters.end() && items->second.value > 0;
    times.perItem = counted ? 1e9 / items->second.value : times.real;
    return times;
  }
  void keep(const std::string& name, const BestTimes& times) {
    auto [entry, added] = best_.try_emplace(name, times);
    if (added) return;
    entry->second.real = std::min(entry->second.real, times.real);
    entry->second.cpu = std::min(entry->second.cpu, times.cpu);
    entry->second.perItem = std::min(entry->second.perItem, times.perItem);
  }

  std::map<std::string, BestTimes> best_;
};

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_BEST_REPORTER_H

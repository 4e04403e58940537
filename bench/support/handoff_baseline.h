// The baseline of the stand-in's benchmarks: one round trip between two threads through
// CountWaiter (a request raised, its answer awaited), the least any hand-off to a library thread
// and back can cost on this machine. One round trip per benchmark iteration.
#ifndef QV_BENCH_SUPPORT_HANDOFF_BASELINE_H
#define QV_BENCH_SUPPORT_HANDOFF_BASELINE_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "support/count_waiter.h"

namespace qv_bench {

inline void threadHandoffRoundTrips(benchmark::State& state) {
  CountWaiter request;
  CountWaiter answer;
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    for (long n = 1;; ++n) {
      request.waitFor(n);
      if (stop) return;
      answer.add();
    }
  });
  long sent = 0;
  for (auto _ : state) {
    request.add();
    answer.waitFor(++sent);
  }
  stop = true;
  request.add();
  peer.join();
}

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_HANDOFF_BASELINE_H

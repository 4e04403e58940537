// Raising a snapshot event (the two-item tuple) into an empty host callable from a native thread,
// against a baseline measured in the same run on the same thread: a thread that keeps its
// interpreter thread state and only takes the lock, builds the tuple and calls. The difference is
// the bridge's own cost per event (slot read, PyGILState_Ensure/Release on a kept state, error
// check). Both run on a thread the interpreter did not make, as the CTP callback threads are.
// After the run the ratio raise / baseline is printed; the target is at most 1.3.
#include <Python.h>

#include <benchmark/benchmark.h>

#include <cstdio>

#include "support/python_bench.h"
#include "bridge/callables.h"
#include "bridge/interpreter_lock.h"
#include "bridge/raise.h"

namespace {

constexpr int32_t kSnapshotEvent = 10010;

PyObject* gEmptyCallable = nullptr;  // __main__.empty, kept alive by __main__
qv::CallableSlot gSlot;
CQVMarketDataField gSnapshot{};

void BM_Baseline(benchmark::State& state) {
  qv::bridge::keepThreadState();
  qv_bench::callWithKeptState(state, PyGILState_GetThisThreadState(), gEmptyCallable,
                              kSnapshotEvent, &gSnapshot);
}
BENCHMARK(BM_Baseline);

void BM_RaiseSnapshot(benchmark::State& state) {
  for (auto _ : state) qv::bridge::raiseSnapshot(gSlot, kSnapshotEvent, &gSnapshot);
}
BENCHMARK(BM_RaiseSnapshot);

}  // namespace

int main(int argc, char** argv) {
  return qv_bench::runWithInterpreter(
      argc, argv,
      [](PyObject* empty) {
        gEmptyCallable = empty;
        qv::bridge::initCallable(gSlot, gEmptyCallable);
      },
      [](const qv_bench::BestReporter& reporter) {
        double baseline = reporter.best("BM_Baseline");
        double raise = reporter.best("BM_RaiseSnapshot");
        if (baseline <= 0 || raise <= 0) return;
        std::printf("baseline %.1f ns, raiseSnapshot %.1f ns per event: ratio %.2f (target <= 1.30)\n",
                    baseline, raise, raise / baseline);
      });
}

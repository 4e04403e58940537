// Raising a snapshot event (the two-item tuple) into an empty host callable from a native thread,
// against a baseline measured in the same run on the same thread: a thread that keeps its
// interpreter thread state and only takes the lock, builds the tuple and calls. The difference is
// the bridge's own cost per event (slot read, PyGILState_Ensure/Release on a kept state, error
// check). Both run on a thread the interpreter did not make, as the CTP callback threads are.
// After the run the ratio raise / baseline is printed; the target is at most 1.3.
#include <Python.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <thread>

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
  PyThreadState* threadState = PyGILState_GetThisThreadState();
  for (auto _ : state) {
    PyEval_RestoreThread(threadState);
    PyObject* args = PyTuple_New(2);
    PyTuple_SET_ITEM(args, 0, PyLong_FromLong(kSnapshotEvent));
    PyTuple_SET_ITEM(args, 1, PyLong_FromSsize_t(reinterpret_cast<Py_ssize_t>(&gSnapshot)));
    PyObject* result = PyObject_Call(gEmptyCallable, args, nullptr);
    Py_XDECREF(result);
    Py_DECREF(args);
    PyEval_SaveThread();
  }
}
BENCHMARK(BM_Baseline);

void BM_RaiseSnapshot(benchmark::State& state) {
  for (auto _ : state) qv::bridge::raiseSnapshot(gSlot, kSnapshotEvent, &gSnapshot);
}
BENCHMARK(BM_RaiseSnapshot);

// The console output, plus the fastest real time per benchmark over its repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto [entry, added] = best_.try_emplace(run.run_name.function_name, run.GetAdjustedRealTime());
      if (!added) entry->second = std::min(entry->second, run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatio() const {
    auto baseline = best_.find("BM_Baseline");
    auto raise = best_.find("BM_RaiseSnapshot");
    if (baseline == best_.end() || raise == best_.end()) return;
    std::printf("baseline %.1f ns, raiseSnapshot %.1f ns per event: ratio %.2f (target <= 1.30)\n",
                baseline->second, raise->second, raise->second / baseline->second);
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Py_InitializeEx(0);
  PyRun_SimpleString("def empty(*args): pass\n");
  gEmptyCallable = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "empty");
  PyThreadState* mainState = PyEval_SaveThread();
  qv::bridge::initCallable(gSlot, gEmptyCallable);

  RatioReporter reporter;
  std::thread native([&reporter] { benchmark::RunSpecifiedBenchmarks(&reporter); });
  native.join();
  reporter.printRatio();

  PyEval_RestoreThread(mainState);
  Py_FinalizeEx();
  benchmark::Shutdown();
  return 0;
}

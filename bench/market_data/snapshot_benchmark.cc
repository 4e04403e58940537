// One market-data snapshot from the CTP record to the host: folded into its SnapshotEntry and
// delivered to an empty Python callable as (10010, record address), on a native thread as the
// market-data callback thread is. Measured in the same run against two references:
//   baseline: a thread that keeps its interpreter thread state only takes the lock, builds the
//             two-item tuple and calls the callable (the least any delivery can cost);
//   dict:     the same fold, then a Python dict of the record's 93 fields built per event and
//             passed to the callable, as bindings that copy every record into the host do.
// After the run the ratios are printed; targets: delivery <= 1.3 x baseline, and the dict path
// at least 5 x the delivery.
#include <Python.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <thread>

#include "base/text.h"
#include "bridge/callables.h"
#include "bridge/interpreter_lock.h"
#include "bridge/raise.h"
#include "ctp/snapshot_fold.h"
#include "records/record_fields.h"

namespace {

constexpr int32_t kSnapshotEvent = 10010;

PyObject* gEmptyCallable = nullptr;  // __main__.empty, kept alive by __main__
qv::CallableSlot gSlot;

CThostFtdcDepthMarketDataField sampleDepth() {
  CThostFtdcDepthMarketDataField d{};
  qv::copyText(d.TradingDay, "20261208");
  qv::copyText(d.InstrumentID, "rb2605");
  qv::copyText(d.ExchangeID, "SHFE");
  qv::copyText(d.UpdateTime, "09:30:01");
  d.LastPrice = 3600;
  d.BidPrice1 = 3599;
  d.AskPrice1 = 3601;
  d.BidVolume1 = 10;
  d.AskVolume1 = 12;
  d.Volume = 1000;
  d.Turnover = 3.6e7;
  d.UpperLimitPrice = 3850;
  d.LowerLimitPrice = 3350;
  return d;
}

// Builds a dict of a record's fields (the visitor protocol of records/record_fields.h).
// REQUIRES: the interpreter lock is held.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()) {}
  PyObject* release() { return dict_; }

  template <size_t N>
  void text(std::string_view name, const char (&value)[N]) {
    put(name, PyUnicode_FromStringAndSize(value, static_cast<Py_ssize_t>(strnlen(value, N))));
  }
  void character(std::string_view name, char value) {
    put(name, PyUnicode_FromStringAndSize(&value, value != 0 ? 1 : 0));
  }
  void boolean(std::string_view name, const bool& value) { put(name, PyBool_FromLong(value)); }
  void integer(std::string_view name, int64_t value) { put(name, PyLong_FromLongLong(value)); }
  void real(std::string_view name, double value) { put(name, PyFloat_FromDouble(value)); }

 private:
  void put(std::string_view name, PyObject* value) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    PyDict_SetItem(dict_, key, value);
    Py_DECREF(key);
    Py_DECREF(value);
  }

  PyObject* dict_;
};

void BM_Baseline(benchmark::State& state) {
  qv::bridge::keepThreadState();
  PyThreadState* threadState = PyGILState_GetThisThreadState();
  CQVMarketDataField record{};
  for (auto _ : state) {
    PyEval_RestoreThread(threadState);
    PyObject* args = PyTuple_New(2);
    PyTuple_SET_ITEM(args, 0, PyLong_FromLong(kSnapshotEvent));
    PyTuple_SET_ITEM(args, 1, PyLong_FromSsize_t(reinterpret_cast<Py_ssize_t>(&record)));
    PyObject* result = PyObject_Call(gEmptyCallable, args, nullptr);
    Py_XDECREF(result);
    Py_DECREF(args);
    PyEval_SaveThread();
  }
}
BENCHMARK(BM_Baseline);

void BM_FoldAndDeliver(benchmark::State& state) {
  qv::SnapshotMap map;
  qv::SnapshotFolder folder(map);
  CThostFtdcDepthMarketDataField depth = sampleDepth();
  for (auto _ : state) {
    depth.LastPrice += 1;
    qv::SnapshotEntry* entry = folder.fold(depth);
    qv::bridge::raiseSnapshot(gSlot, kSnapshotEvent, &entry->record);
  }
}
BENCHMARK(BM_FoldAndDeliver);

void BM_FoldOnly(benchmark::State& state) {
  qv::SnapshotMap map;
  qv::SnapshotFolder folder(map);
  CThostFtdcDepthMarketDataField depth = sampleDepth();
  for (auto _ : state) {
    depth.LastPrice += 1;
    benchmark::DoNotOptimize(folder.fold(depth));
  }
}
BENCHMARK(BM_FoldOnly);

void BM_FoldAndDict(benchmark::State& state) {
  qv::bridge::keepThreadState();
  PyThreadState* threadState = PyGILState_GetThisThreadState();
  qv::SnapshotMap map;
  qv::SnapshotFolder folder(map);
  CThostFtdcDepthMarketDataField depth = sampleDepth();
  for (auto _ : state) {
    depth.LastPrice += 1;
    qv::SnapshotEntry* entry = folder.fold(depth);
    PyEval_RestoreThread(threadState);
    DictBuilder builder;
    qv::visitFields(builder, entry->record);
    PyObject* args = PyTuple_New(2);
    PyTuple_SET_ITEM(args, 0, PyLong_FromLong(kSnapshotEvent));
    PyTuple_SET_ITEM(args, 1, builder.release());
    PyObject* result = PyObject_Call(gEmptyCallable, args, nullptr);
    Py_XDECREF(result);
    Py_DECREF(args);
    PyEval_SaveThread();
  }
}
BENCHMARK(BM_FoldAndDict);

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

  void printRatios() const {
    auto baseline = best_.find("BM_Baseline");
    auto deliver = best_.find("BM_FoldAndDeliver");
    auto dict = best_.find("BM_FoldAndDict");
    if (baseline == best_.end() || deliver == best_.end() || dict == best_.end()) return;
    std::printf("baseline %.1f ns, fold+deliver %.1f ns, fold+dict %.1f ns per snapshot\n",
                baseline->second, deliver->second, dict->second);
    std::printf("fold+deliver / baseline = %.2f (target <= 1.30); dict / fold+deliver = %.1f "
                "(target >= 5)\n",
                deliver->second / baseline->second, dict->second / deliver->second);
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
  reporter.printRatios();

  PyEval_RestoreThread(mainState);
  Py_FinalizeEx();
  benchmark::Shutdown();
  return 0;
}

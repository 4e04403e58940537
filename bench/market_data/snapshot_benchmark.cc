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

#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/text.h"
#include "support/python_bench.h"
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
  CQVMarketDataField record{};
  qv_bench::callWithKeptState(state, PyGILState_GetThisThreadState(), gEmptyCallable,
                              kSnapshotEvent, &record);
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
        double deliver = reporter.best("BM_FoldAndDeliver");
        double dict = reporter.best("BM_FoldAndDict");
        if (baseline <= 0 || deliver <= 0 || dict <= 0) return;
        std::printf("baseline %.1f ns, fold+deliver %.1f ns, fold+dict %.1f ns per snapshot\n",
                    baseline, deliver, dict);
        std::printf("fold+deliver / baseline = %.2f (target <= 1.30); dict / fold+deliver = %.1f "
                    "(target >= 5)\n",
                    deliver / baseline, dict / deliver);
      });
}

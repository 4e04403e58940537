// Shared pieces of the benchmarks that call into an embedded interpreter: an empty host callable
// to call, a run of the benchmarks on a thread the interpreter did not make (as the CTP callback
// threads are), reporting each benchmark's fastest run (support/best_reporter.h) so that the
// program can print ratios against a baseline measured in the same run.
#ifndef QV_BENCH_SUPPORT_PYTHON_BENCH_H
#define QV_BENCH_SUPPORT_PYTHON_BENCH_H

#include <Python.h>

#include <benchmark/benchmark.h>

#include <thread>

#include "support/best_reporter.h"

namespace qv_bench {

// The least any delivery of (event id, record address) can cost: on a thread that keeps its
// interpreter thread state (`threadState`), take the lock, build the two-item tuple, call, give
// the lock back. One event per benchmark iteration.
inline void callWithKeptState(benchmark::State& state, PyThreadState* threadState,
                              PyObject* callable, int eventId, const void* record) {
  for (auto _ : state) {
    PyEval_RestoreThread(threadState);
    PyObject* args = PyTuple_New(2);
    PyTuple_SET_ITEM(args, 0, PyLong_FromLong(eventId));
    PyTuple_SET_ITEM(args, 1, PyLong_FromSsize_t(reinterpret_cast<Py_ssize_t>(record)));
    PyObject* result = PyObject_Call(callable, args, nullptr);
    Py_XDECREF(result);
    Py_DECREF(args);
    PyEval_SaveThread();
  }
}

// Starts the interpreter, defines __main__.empty(*args), runs `setup(empty)` and then every
// selected benchmark on a native thread with the interpreter lock released, and finally
// `report(reporter)`. Returns the process exit code.
template <typename Setup, typename Report>
int runWithInterpreter(int argc, char** argv, Setup setup, Report report) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Py_InitializeEx(0);
  PyRun_SimpleString("def empty(*args): pass\n");
  PyObject* empty = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "empty");
  PyThreadState* mainState = PyEval_SaveThread();
  setup(empty);

  BestReporter reporter;
  std::thread native([&reporter] { benchmark::RunSpecifiedBenchmarks(&reporter); });
  native.join();
  report(reporter);

  PyEval_RestoreThread(mainState);
  Py_FinalizeEx();
  benchmark::Shutdown();
  return 0;
}

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_PYTHON_BENCH_H

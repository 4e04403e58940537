#include <Python.h>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "bridge/callables.h"
#include "bridge/event_text.h"
#include "bridge/host_state.h"
#include "bridge/interpreter_lock.h"
#include "bridge/raise.h"
#include "embedded_python.h"

namespace qv::bridge {
namespace {

using qv::testing::mainObject;
using qv::testing::pythonRepr;
using qv::testing::pythonTrue;
using qv::testing::runPython;

// Runs `body` on a fresh native thread, as a library callback thread would, and waits for it.
template <typename Body>
void onNativeThread(Body body) {
  std::thread thread(body);
  thread.join();
}

std::string address(const void* record) { return std::to_string(reinterpret_cast<intptr_t>(record)); }

// What the native fallback last received.
struct FallbackCall {
  int calls = 0;
  int32_t eventId = 0;
  const void* record = nullptr;
  bool isLast = false;
  std::string userId;
  int32_t errorId = 0;
  std::string message;
};
FallbackCall gFallback;

void recordFallback(int32_t eventId, const void* record, bool isLast, const char* userId, int32_t errorId,
                    const char* message) {
  gFallback = {gFallback.calls + 1, eventId, record, isLast, userId, errorId, message};
}

class RaiseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runPython(
        "import threading\n"
        "events = []\n"
        "texts = []\n"
        "other = []\n"
        "def record(*args): events.append(args)\n"
        "def record_other(*args): other.append(args)\n"
        "def collect(text): texts.append(text)\n"
        "def fail(*args): raise ValueError('raised by the host callable')\n"
        "def leave(*args): raise SystemExit(3)\n"
        "not_callable = 42\n");
    ASSERT_EQ(setTextProcessor(mainObject("collect")), 0);
    setRunMode('0');
    gFallback = {};
  }

  // Checks `expression` in __main__, showing `shown` when it fails.
  void expectPython(const std::string& expression, const std::string& shown) {
    EXPECT_TRUE(pythonTrue(expression)) << shown << " = " << pythonRepr(shown);
  }

  CallableSlot slot_;
};

// --- Tuples the host receives, raised from threads that do not hold the interpreter lock ---

TEST_F(RaiseTest, ResponseCarriesSixItemsWithTheGb2312MessageDecodedAndBadBytesDropped) {
  initCallable(slot_, mainObject("record"));
  CThostFtdcRspUserLoginField login{};
  onNativeThread([&] {
    // "成交" in GB2312, then a byte that starts no GB2312 character.
    raiseResponse(slot_, recordFallback, 11101, &login, true, "u1", -3, "\xb3\xc9\xbd\xbb\xff");
    raiseResponse(slot_, recordFallback, 11002, nullptr, false, "u1", 4097, nullptr);
  });
  expectPython("events == [(11101, " + address(&login) + ", True, 'u1', -3, '\\u6210\\u4ea4'), "
               "(11002, 0, False, 'u1', 4097, '')]", "events");
  EXPECT_EQ(gFallback.calls, 0);
}

TEST_F(RaiseTest, OrderSnapshotAndLoopTuples) {
  initCallable(slot_, mainObject("record"));
  CQVOrderField order{};
  CQVPositionField position{};
  CQVMarketDataField snapshot{};
  onNativeThread([&] {
    raiseOrderEvent(slot_, 10003, &order, &position, 1234.5);
    raiseSnapshot(slot_, 10010, &snapshot);
    callLoop(slot_);
  });
  expectPython("events == [(10003, " + address(&order) + ", " + address(&position) + ", 1234.5), (10010, " +
                   address(&snapshot) + "), ()] and type(events[0][3]) is float",
               "events");
  expectPython("texts == []", "texts");
}

// --- Without a callable ---

TEST_F(RaiseTest, ResponseWithoutCallableGoesToTheFallbackWithTheSameSixValues) {
  int record = 0;
  for (HostObject nothing : {static_cast<HostObject>(nullptr), Py_None}) {
    slot_.set(nothing);
    raiseResponse(slot_, recordFallback, 11104, &record, true, "u1", 7, "msg");
  }
  EXPECT_EQ(gFallback.calls, 2);
  EXPECT_EQ(gFallback.eventId, 11104);
  EXPECT_EQ(gFallback.record, &record);
  EXPECT_TRUE(gFallback.isLast);
  EXPECT_EQ(gFallback.userId, "u1");
  EXPECT_EQ(gFallback.errorId, 7);
  EXPECT_EQ(gFallback.message, "msg");
  raiseResponse(slot_, nullptr, 11104, &record, true, "u1", 7, "msg");  // no fallback: nothing happens
  expectPython("events == [] and texts == []", "(events, texts)");
}

TEST_F(RaiseTest, RunModeSilencesResponseAndSnapshotTextButNeverOrderText) {
  CQVOrderField order{};
  CQVPositionField position{};
  CQVMarketDataField snapshot{};
  auto raiseAll = [&] {
    onNativeThread([&] {
      raiseResponse(slot_, printResponseEvent, 11002, nullptr, true, "u1", 4097, "x");
      raiseSnapshot(slot_, 10010, &snapshot);
      raiseOrderEvent(slot_, 10006, &order, &position, 1.0);
    });
  };
  for (int32_t silent : {49, 0, 0x130}) {  // '1', the byte 0, and a value whose low byte is '0'+256
    setRunMode(silent);
    runPython("texts.clear()");
    raiseAll();
    if (silent == 0x130) {
      expectPython("len(texts) == 3", "texts");
    } else {
      expectPython("len(texts) == 1 and texts[0].startswith('-------\\nEventName:Accepted.\\n')", "texts");
    }
  }
  setRunMode(48);
  runPython("texts.clear()");
  raiseAll();
  expectPython("[t.split('\\n')[1] for t in texts] == ['EventName:EventID:11002,UserID:u1,ErrorID:4097,Message:x.', "
               "'EventName:MarketDataSnap.', 'EventName:Accepted.']",
               "texts");
}

TEST_F(RaiseTest, TextReachesTheProcessorDecodedWithBadBytesDropped) {
  onNativeThread([] { handOverText("\xb3\xc9\xbd\xbb\x80!"); });
  handOverText(nullptr);
  expectPython("texts == ['\\u6210\\u4ea4!', '']", "texts");
}

// --- Setters ---

TEST_F(RaiseTest, SettersRefuseNoneAndNonCallablesAndKeepTheSlot) {
  ASSERT_EQ(setCallable(slot_, mainObject("record")), 0);
  for (HostObject refused : {static_cast<HostObject>(nullptr), Py_None, mainObject("not_callable")}) {
    EXPECT_EQ(setCallable(slot_, refused), kErrNotCallable);
    EXPECT_EQ(slot_.get(), mainObject("record"));
    EXPECT_EQ(setTextProcessor(refused), kErrNotCallable);
  }
  handOverText("still collected");
  expectPython("texts == ['still collected']", "texts");
}

TEST_F(RaiseTest, ConstructionStoresNoneUncheckedButNeverANonCallable) {
  initCallable(slot_, Py_None);
  EXPECT_EQ(slot_.get(), Py_None);
  EXPECT_FALSE(slot_.isRegistered());
  initCallable(slot_, mainObject("not_callable"));
  EXPECT_EQ(slot_.get(), Py_None);
  initCallable(slot_, mainObject("record"));
  EXPECT_TRUE(slot_.isRegistered());
}

// --- A host callable that raises ---

// After a callable raises (including SystemExit, which must not end the process from a runtime
// thread), the error indicator is clear, the lock is free for any other thread, and the next
// events arrive.
TEST_F(RaiseTest, RaisingCallableLeavesTheInterpreterUsableAndEventsKeepFlowing) {
  CallableSlot failing;
  CallableSlot leaving;
  initCallable(failing, mainObject("fail"));
  initCallable(leaving, mainObject("leave"));
  initCallable(slot_, mainObject("record"));
  onNativeThread([&] {
    raiseSnapshot(failing, 10010, nullptr);
    raiseResponse(leaving, recordFallback, 11101, nullptr, true, "u1", 0, "");
    {
      InterpreterLock lock;
      EXPECT_EQ(PyErr_Occurred(), nullptr);
    }
    raiseSnapshot(slot_, 10010, nullptr);
  });
  onNativeThread([&] { raiseSnapshot(slot_, 10010, nullptr); });
  raiseSnapshot(slot_, 10010, nullptr);  // the main thread, which has a state of its own
  expectPython("events == [(10010, 0)] * 3", "events");
}

// --- Thread states ---

// A native thread gets one interpreter thread state on its first event, keeps it across events
// (the per-event lock never builds or frees one) and gives it back when it ends.
TEST_F(RaiseTest, NativeThreadKeepsOneStateAcrossEventsAndReleasesItAtExit) {
  initCallable(slot_, mainObject("record"));
  const int before = qv::testing::threadStateCount();
  std::vector<PyThreadState*> states;
  int during = 0;
  onNativeThread([&] {
    for (int i = 0; i < 3; ++i) {
      raiseSnapshot(slot_, 10010, nullptr);
      states.push_back(PyGILState_GetThisThreadState());
    }
    EXPECT_TRUE(keepsOwnThreadState());
    InterpreterLock lock;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyInterpreterState_Main()); t; t = PyThreadState_Next(t)) {
      ++during;
    }
  });
  ASSERT_EQ(states.size(), 3u);
  EXPECT_NE(states[0], nullptr);
  EXPECT_EQ(states[1], states[0]);
  EXPECT_EQ(states[2], states[0]);
  EXPECT_EQ(during, before + 1);
  EXPECT_EQ(qv::testing::threadStateCount(), before);
  EXPECT_FALSE(keepsOwnThreadState());  // the main thread has its own state
}

CallableSlot gPythonThreadSlot;
std::atomic<pid_t> gPythonThreadId{0};

PyObject* raiseFromPython(PyObject*, PyObject*) {
  gPythonThreadId = static_cast<pid_t>(syscall(SYS_gettid));
  Py_BEGIN_ALLOW_THREADS raiseSnapshot(gPythonThreadSlot, 10010, nullptr);
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

// Thread.join returns before the native thread has run its exit handlers; wait for those too.
void waitForThreadExit(pid_t thread) {
  const std::string task = "/proc/self/task/" + std::to_string(thread);
  for (int i = 0; i < 5000 && access(task.c_str(), F_OK) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

PyMethodDef gRaiseFromPython = {"raise_from_python", raiseFromPython, METH_NOARGS, nullptr};

// A thread started by the host's threading module owns its state and frees it itself before the
// native thread ends; the bridge must neither keep nor release that state.
TEST_F(RaiseTest, HostThreadStateIsLeftToTheHost) {
  initCallable(gPythonThreadSlot, mainObject("record"));
  {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* function = PyCFunction_New(&gRaiseFromPython, nullptr);
    PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "raise_from_python", function);
    Py_DECREF(function);
    PyGILState_Release(state);
  }
  const int before = qv::testing::threadStateCount();
  runPython("t = threading.Thread(target=raise_from_python)\nt.start()\nt.join()\n");
  waitForThreadExit(gPythonThreadId);
  expectPython("events == [(10010, 0)]", "events");
  EXPECT_EQ(qv::testing::threadStateCount(), before);
}

// A callable that calls the runtime back on the same native thread, as a strategy calling an
// export from inside an event does: through ctypes' CDLL the interpreter lock is let go during the
// call, through PyDLL it is kept. Either way the event the runtime raises from inside arrives, the
// thread does not stall on the lock it holds, and it keeps one state throughout.
CallableSlot gInnerSlot;

PyObject* callRuntimeBack(PyObject*, PyObject* letGo) {
  if (PyObject_IsTrue(letGo)) {
    Py_BEGIN_ALLOW_THREADS raiseSnapshot(gInnerSlot, 10010, nullptr);
    Py_END_ALLOW_THREADS
  } else {
    raiseSnapshot(gInnerSlot, 10010, nullptr);
  }
  Py_RETURN_NONE;
}

PyMethodDef gCallRuntimeBack = {"call_runtime_back", callRuntimeBack, METH_O, nullptr};

TEST_F(RaiseTest, EventsRaisedFromInsideACallableOnTheSameThreadArrive) {
  {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* function = PyCFunction_New(&gCallRuntimeBack, nullptr);
    PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "call_runtime_back", function);
    Py_DECREF(function);
    PyGILState_Release(state);
  }
  runPython(
      "def outer(event, let_go):\n"
      "    other.append(('outer', let_go))\n"
      "    call_runtime_back(let_go)\n"
      "    other.append(('back', let_go))\n");
  initCallable(gInnerSlot, mainObject("record"));
  initCallable(slot_, mainObject("outer"));
  const int before = qv::testing::threadStateCount();
  std::vector<PyThreadState*> states;
  onNativeThread([&] {
    for (const bool letGo : {true, false, true}) {
      // Two items as raiseOrderEvent's callable takes them: the event and whether to let go.
      InterpreterLock lock;
      PyObject* result = PyObject_CallFunction(mainObject("outer"), "iO", 10010, letGo ? Py_True : Py_False);
      Py_XDECREF(result);
      if (result == nullptr) PyErr_Print();
      states.push_back(PyThreadState_Get());
    }
    raiseSnapshot(slot_, 10010, nullptr);  // through the bridge's own call: a tuple of two
    states.push_back(PyGILState_GetThisThreadState());
  });
  expectPython("other == [('outer', True), ('back', True), ('outer', False), ('back', False), ('outer', True), "
               "('back', True), ('outer', 0), ('back', 0)]",
               "other");
  expectPython("events == [(10010, 0)] * 4", "events");
  ASSERT_EQ(states.size(), 4u);
  for (PyThreadState* state : states) EXPECT_EQ(state, states[0]);
  EXPECT_EQ(qv::testing::threadStateCount(), before);
}

// --- Several raising threads ---

// Four threads raise into one slot while the main thread replaces its callable. Every event lands
// in exactly one of the two callables (none lost, none doubled), and once the setter has returned
// every event goes to the new one.
TEST_F(RaiseTest, ReplacingTheCallableWhileEventsFlowLosesNothing) {
  constexpr int kThreads = 4;
  constexpr int kEvents = 2000;
  initCallable(slot_, mainObject("record"));
  std::atomic<int> raised{0};
  std::vector<std::thread> raisers;
  for (int t = 0; t < kThreads; ++t) {
    raisers.emplace_back([&] {
      for (int i = 0; i < kEvents; ++i) {
        raiseSnapshot(slot_, 10010, nullptr);
        raised.fetch_add(1);
      }
    });
  }
  while (raised.load() < kEvents) std::this_thread::yield();
  ASSERT_EQ(setCallable(slot_, mainObject("record_other")), 0);
  const int afterSwitch = raised.load();
  for (std::thread& raiser : raisers) raiser.join();
  const std::string total = std::to_string(kThreads * kEvents);
  expectPython("len(events) + len(other) == " + total, "(len(events), len(other))");
  // Events that started after the switch (afterSwitch counts only finished ones) went to the new
  // callable; a few in flight at the switch may have finished in either.
  expectPython("len(other) >= " + std::to_string(kThreads * kEvents - afterSwitch - kThreads), "len(other)");
}

}  // namespace
}  // namespace qv::bridge

#include <Python.h>

#include "client_fixture.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "base/text.h"
#include "bridge/callables.h"
#include "qvsim.h"

namespace qv_test {
namespace {

std::mutex gMutex;
std::vector<Response> gResponses;

PyObject* recordResponse(PyObject*, PyObject* args) {
  int eventId = 0;
  Py_ssize_t record = 0;
  PyObject* isLast = nullptr;
  const char* user = nullptr;
  int errorId = 0;
  const char* message = nullptr;
  if (!PyArg_ParseTuple(args, "inOsis", &eventId, &record, &isLast, &user, &errorId, &message)) {
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(gMutex);
  gResponses.push_back({eventId, reinterpret_cast<const void*>(record), isLast == Py_True,
                        errorId, message});
  Py_RETURN_NONE;
}

PyMethodDef gRecordDef = {"record_response", recordResponse, METH_VARARGS, nullptr};

PyObject* recorder() {
  static PyObject* function = [] {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* made = PyCFunction_New(&gRecordDef, nullptr);
    PyGILState_Release(state);
    return made;
  }();
  return function;
}

// One client for the whole program, never destroyed: like a client of the runtime it lives until
// the process ends, so the holders it made stay reachable for the leak checker. Tests use distinct
// order references, instruments and transfer ids, and reset what they measure (cash, responses).
qv::CtpTraderClient* sharedClient() {
  static qv::CtpTraderClient* client = keptClient(0, "tr1", "acct1");
  return client;
}

}  // namespace

qv::CtpTraderClient* keptClient(uint16_t clientIndex, const char* userId, const char* accountId) {
  CQVLoginField login{};
  login.UserType = 20001;
  qv::copyText(login.UserID, userId);
  qv::copyText(login.BrokerID, "9999");
  qv::copyText(login.AccountID, accountId);
  qv::copyText(login.TraderFront, "tcp://127.0.0.1:41205");
  qv::copyText(login.MdFront, "tcp://127.0.0.1:41213");
  qv::copyText(login.BasePath, "/tmp/qv-ctp-book-test");
  auto* made = new qv::CtpTraderClient(clientIndex, login, nullptr, nullptr, nullptr);
  qv::bridge::setCallable(made->responseSlot(), recorder());
  return made;
}

void CtpClientTest::SetUp() {
  qvsim_reset();
  qvsim_hold_answers("ReqFromBankToFutureByFuture", -1);
  qvsim_hold_answers("ReqFromFutureToBankByFuture", -1);
  client_ = sharedClient();
  // The library refuses requests until its front is connected.
  ASSERT_TRUE(waitFor([&] { return client_->sessionState() == qv::kStateConnected; }));
  client_->setUsableCash(1000);
  qvsim_clear_requests();
  std::lock_guard<std::mutex> guard(gMutex);
  gResponses.clear();
}

void CtpClientTest::TearDown() { qvsim_clear_rules(); }

std::vector<Response> CtpClientTest::responses(int32_t eventId) {
  std::lock_guard<std::mutex> guard(gMutex);
  std::vector<Response> found;
  for (const Response& response : gResponses) {
    if (response.eventId == eventId) found.push_back(response);
  }
  return found;
}

bool CtpClientTest::waitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace qv_test

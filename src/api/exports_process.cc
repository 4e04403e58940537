// Exports of the process: start-up, the run loop, run mode, time and the text processor.
#include "api/export_guard.h"
#include "api/exports.h"
#include "api/run_loop.h"
#include "api/startup.h"
#include "base/clock.h"
#include "bridge/callables.h"
#include "bridge/host_state.h"
#include "trading/error_codes.h"

using qv::api::guarded;

QvHandle init(uint16_t clientIndex, CQVLoginField* login, QvObject orderCallable,
              QvObject responseCallable, QvObject loopCallable, QvObject marketDataCallable,
              QvObject reserved) {
  return guarded<QvHandle>(nullptr, [&] {
    return qv::api::startClient(clientIndex, login, orderCallable, responseCallable, loopCallable,
                                marketDataCallable, reserved);
  });
}

int32_t getInitError() { return qv::api::startupError(); }

void loop() {
  qv::api::guardedVoid([] { qv::api::runLoop(); });
}

void exitX(QvHandle handle) {
  // Null stops every client; an address the runtime did not hand out stops none.
  if (handle != nullptr && !qv::api::knownHandle(handle)) return;
  qv::api::guardedVoid([&] { qv::api::stopClients(handle); });
}

int32_t setRunMode(int32_t mode) {
  qv::bridge::setRunMode(mode);
  return 0;
}

int64_t setTimeAnchor() { return qv::nowMicros(); }

int64_t getTimeElapse(int64_t anchor) { return qv::elapsedSince(anchor); }

int32_t setEventTextProcessor(QvObject processor) {
  static_assert(qv::kErrNotCallable == qv::bridge::kErrNotCallable);
  return guarded<int32_t>(qv::kErrNotCallable,
                          [&] { return qv::bridge::setTextProcessor(processor); });
}

#include "api/run_loop.h"

#include <deque>
#include <thread>
#include <vector>

#include "api/client_registry.h"
#include "base/clock.h"
#include "base/spin_lock.h"
#include "bridge/raise.h"

namespace qv::api {
namespace {

constexpr int64_t kConnectedPause = 100000;
constexpr int64_t kNegativeGapPause = 100000;

// Every worker ever started, never shrunk and never destroyed (the threads live until the process
// ends). A deque keeps each thread object in place while later ones are appended. Guarded by
// workersFlag.
SpinFlag workersFlag;
std::deque<std::thread>* workers QV_GUARDED_BY(workersFlag) = new std::deque<std::thread>;

[[noreturn]] void workerBody(TraderClient* client) {
  for (;;) sleepMicros(runWorkerTurn(*client));
}

}  // namespace

int64_t loopGapPause(int64_t loopGap) {
  if (loopGap < 0) return kNegativeGapPause;
  return loopGap;
}

int64_t runWorkerTurn(TraderClient& client) {
  const char state = client.sessionState();
  if (state == kStateConnected) {
    client.taskQueue().executeStep();
    return kConnectedPause;
  }
  if (state == kStateReady) {
    client.taskQueue().executeStep();
    bridge::callLoop(client.loopSlot());
  }
  return loopGapPause(client.login().LoopGap);
}

void runLoop() {
  // Each call joins only the threads it started: two callers joining one thread would be
  // undefined behaviour.
  std::vector<std::thread*> started;
  for (TraderClient* client : clientRegistry().clients()) {
    std::thread worker(workerBody, client);
    SpinFlagGuard guard(workersFlag);
    workers->push_back(std::move(worker));
    started.push_back(&workers->back());
  }
  for (std::thread* worker : started) worker->join();
}

void stopClients(TraderClient* client) {
  if (client != nullptr) {
    client->exchangeSessionState(kStateStopped);
    return;
  }
  for (TraderClient* each : clientRegistry().clients()) each->exchangeSessionState(kStateStopped);
}

}  // namespace qv::api

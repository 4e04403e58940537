#include "api/run_loop.h"

#include <algorithm>
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

// Waits out a turn's pause, running the task queue whenever it gets work (a task queued, a request
// answered), so a request goes out as soon as its gap allows instead of on the next turn. Ends early
// when the session state is no longer the one the turn ran in: a client that has just become ready
// makes its first loop call at once.
void serveQueueDuring(TraderClient& client, char state, int64_t pause) {
  const int64_t deadline = nowMicros() + pause;
  int64_t due = TaskQueue::kNoneDue;
  for (;;) {
    const int64_t remaining = deadline - nowMicros();
    if (remaining <= 0) return;
    client.taskQueue().waitForWork(std::min(remaining, due));
    if (client.sessionState() != state) return;
    due = client.taskQueue().executeStep();
  }
}

[[noreturn]] void workerBody(TraderClient* client) {
  for (;;) {
    const char state = client->sessionState();
    bool serveQueue = false;
    const int64_t pause = runWorkerTurn(*client, &serveQueue);
    if (serveQueue) {
      serveQueueDuring(*client, state, pause);
    } else {
      sleepMicros(pause);
    }
  }
}

}  // namespace

int64_t loopGapPause(int64_t loopGap) {
  if (loopGap < 0) return kNegativeGapPause;
  return loopGap;
}

int64_t runWorkerTurn(TraderClient& client, bool* serveQueue) {
  const char state = client.sessionState();
  if (state == kStateConnected) {
    if (serveQueue != nullptr) *serveQueue = true;
    return std::min(kConnectedPause, client.taskQueue().executeStep());
  }
  if (state == kStateReady) {
    if (serveQueue != nullptr) *serveQueue = true;
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

// The run loop: loop starts one worker thread per registered trading client and waits on them;
// each worker runs its client's task queue and, once the client is ready, the host's loop
// callable, pausing between turns and serving the queue in those pauses. exitX stops a client's
// work (state '0') without ending its worker. Workers live until the process ends.
#ifndef QV_API_RUN_LOOP_H
#define QV_API_RUN_LOOP_H

#include <cstdint>

#include "trading/trader_client.h"

namespace qv::api {

// The pause after a turn that is not a connected-only turn: LoopGap < 0 -> 100000 µs, 0 -> none,
// > 0 -> LoopGap.
int64_t loopGapPause(int64_t loopGap);

// One turn of a worker: state '3' or '4' runs one step of the task queue; '4' then calls the loop
// callable. Returns the pause before the next turn in µs ('3': 100000, or less when the next
// session step's gap ends sooner; otherwise the LoopGap rule). `serveQueue` (when given) is set on
// a '3' or '4' turn: the worker keeps running the queue during that pause whenever it gets work,
// so requests go at the pace of their answers and gaps while the loop callable keeps LoopGap's.
int64_t runWorkerTurn(TraderClient& client, bool* serveQueue = nullptr);

// Starts a worker for every registered client and joins the workers this call started (they do
// not end, so neither does the call). With no registered client it returns at once.
void runLoop();

// Sets `client`'s session state to '0'; with null, every registered client's, in registry order.
void stopClients(TraderClient* client);

}  // namespace qv::api

#endif  // QV_API_RUN_LOOP_H

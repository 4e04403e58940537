// Start-up: what init does. Validates the host's login record, makes the flow directories, builds
// the trading and market-data clients through the registered factories, waits for the trading
// front and registers the client. Runs on the host thread that calls init; meant to be called from
// one host thread before loop.
#ifndef QV_API_STARTUP_H
#define QV_API_STARTUP_H

#include <cstdint>

#include "bridge/host_object.h"
#include "records/cqv_records.h"
#include "trading/trader_client.h"

namespace qv::api {

// The error of the last init (0 after a successful one). Any thread.
int32_t startupError();

// Checks the login record in order (UserID, UserType, MdFront, the 10001 credentials) and makes
// BasePath/UserID, .../TDFlow and .../MDFlow. Returns 0 or the first failure's code.
int32_t validateLogin(const CQVLoginField& login);

// True for the user types that build a trading and a market-data client: 10001, 20001, 20005.
bool buildsClients(int32_t userType);

// The whole of init: returns the client (new or already registered under the UserType), or null
// with startupError() set.
TraderClient* startClient(uint16_t clientIndex, const CQVLoginField* login,
                          HostObject orderCallable, HostObject responseCallable,
                          HostObject loopCallable, HostObject marketDataCallable,
                          HostObject reserved);

}  // namespace qv::api

#endif  // QV_API_STARTUP_H

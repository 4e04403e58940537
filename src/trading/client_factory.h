// The seam through which start-up builds concrete clients. The CTP session code registers its
// factories once, before the host calls init; with none registered, init builds nothing.
// Registration and reads are atomic pointer stores and loads, safe on any thread.
#ifndef QV_TRADING_CLIENT_FACTORY_H
#define QV_TRADING_CLIENT_FACTORY_H

#include <cstdint>

#include "bridge/host_object.h"
#include "records/cqv_records.h"

namespace qv {

class TraderClient;
class MdClient;

// Builds a trading client from the client index, the host's login record and the order, response
// and loop callables. Returns null when it cannot build one.
using TraderClientFactory = TraderClient* (*)(uint16_t clientIndex, const CQVLoginField& login,
                                              HostObject orderCallable,
                                              HostObject responseCallable,
                                              HostObject loopCallable);

// Builds a market-data client from the trading client's login copy (which outlives it), the
// market-data callable, the response callable and the reserved argument of init.
using MdClientFactory = MdClient* (*)(const CQVLoginField* login, HostObject marketDataCallable,
                                      HostObject responseCallable, HostObject reserved);

void registerClientFactories(TraderClientFactory trader, MdClientFactory md);
TraderClientFactory traderClientFactory();
MdClientFactory mdClientFactory();

}  // namespace qv

#endif  // QV_TRADING_CLIENT_FACTORY_H

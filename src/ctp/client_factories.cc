// The CTP clients' factories: registers with the trading layer how a trader client and a
// market-data client are made on the CTP libraries (registerCtpClients, called once by init).
#include "ctp/ctp_md_client.h"
#include "ctp/ctp_trader_client.h"
#include "trading/client_factory.h"

// Registers the CTP clients as the ones init builds. The library keeps this object whole, so the
// registration runs when the library is loaded, before any host can call init.

namespace qv {
namespace {

TraderClient* makeTraderClient(uint16_t clientIndex, const CQVLoginField& login,
                               HostObject orderCallable, HostObject responseCallable,
                               HostObject loopCallable) {
  return new CtpTraderClient(clientIndex, login, orderCallable, responseCallable, loopCallable);
}

MdClient* makeMdClient(const CQVLoginField* login, HostObject marketDataCallable,
                       HostObject responseCallable, HostObject) {
  return new CtpMdClient(login, marketDataCallable, responseCallable);
}

const bool kRegistered = (registerClientFactories(makeTraderClient, makeMdClient), true);

}  // namespace

// Test programs that link the session code statically call this, since an unreferenced object
// file of a static library is not linked and its registration never runs.
void registerCtpClients() { registerClientFactories(makeTraderClient, makeMdClient); }

}  // namespace qv

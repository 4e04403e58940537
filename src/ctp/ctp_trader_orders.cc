#include "ctp/ctp_trader_client.h"

// Orders cannot reach the library yet: a send reports it as unreachable (-1).

namespace qv {

int32_t CtpTraderClient::sendOrderRequest(OrderHolder&) { return -1; }

}  // namespace qv

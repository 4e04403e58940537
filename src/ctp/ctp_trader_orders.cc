#include "ctp/ctp_trader_client.h"

// Orders and transfers cannot reach the library yet: a send reports it as unreachable (-1), and no
// transfer record is made.

namespace qv {

int32_t CtpTraderClient::sendOrderRequest(OrderHolder&) { return -1; }

TransferHolder* CtpTraderClient::transferCash(char, double, const char*, const char*, const char*) {
  return nullptr;
}

}  // namespace qv

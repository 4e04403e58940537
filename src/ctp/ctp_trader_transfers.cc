#include "ctp/ctp_trader_client.h"

namespace qv {

TransferHolder* CtpTraderClient::transferCash(char, double, const char*, const char*, const char*) {
  return nullptr;
}

}  // namespace qv

#include "ctp/ctp_trader_client.h"

// Order entry and transfers are not available on this client yet: every order operation makes no
// order and returns null, and a send reports the library as unreachable (-1).

namespace qv {

int32_t CtpTraderClient::insertOrder(OrderHolder*) { return -1; }

OrderHolder* CtpTraderClient::buyOpen(InstrumentInfo*, const char*, const char*, int32_t, char,
                                      double, int16_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::sellClose(InstrumentInfo*, const char*, const char*, int32_t, char,
                                        double, int16_t, uint8_t, char, int64_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::sellOpen(InstrumentInfo*, const char*, const char*, int32_t, char,
                                       double, int16_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::buyClose(InstrumentInfo*, const char*, const char*, int32_t, char,
                                       double, int16_t, uint8_t, char, int64_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::buy(InstrumentInfo*, int32_t, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::buyAmount(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::buyRatio(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::sell(InstrumentInfo*, int32_t, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::sellAmount(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::sellRatio(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::closeLong(const char*, const char*, int32_t, char, double, int16_t,
                                        uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::closeShort(const char*, const char*, int32_t, char, double, int16_t,
                                         uint8_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::balanceToLongValue(InstrumentInfo*, double, char, double, int16_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::balanceToLongVolume(InstrumentInfo*, int32_t, char, double, int16_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::balanceToShortValue(InstrumentInfo*, double, char, double, int16_t) {
  return nullptr;
}
OrderHolder* CtpTraderClient::balanceToShortVolume(InstrumentInfo*, int32_t, char, double,
                                                   int16_t) {
  return nullptr;
}
TransferHolder* CtpTraderClient::transferCash(char, double, const char*, const char*, const char*) {
  return nullptr;
}

}  // namespace qv

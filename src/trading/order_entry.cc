#include "trading/order_engine.h"

// Order entry is not built yet: every operation makes no order and returns null, and a send is
// refused as unreachable (-1).

namespace qv {

int32_t OrderEngine::insertOrder(OrderHolder*) { return -1; }
OrderHolder* OrderEngine::buyOpen(InstrumentInfo*, const char*, const char*, int32_t, char, double,
                                  int16_t) {
  return nullptr;
}
OrderHolder* OrderEngine::sellClose(InstrumentInfo*, const char*, const char*, int32_t, char,
                                    double, int16_t, uint8_t, char, int64_t) {
  return nullptr;
}
OrderHolder* OrderEngine::sellOpen(InstrumentInfo*, const char*, const char*, int32_t, char,
                                   double, int16_t) {
  return nullptr;
}
OrderHolder* OrderEngine::buyClose(InstrumentInfo*, const char*, const char*, int32_t, char,
                                   double, int16_t, uint8_t, char, int64_t) {
  return nullptr;
}
OrderHolder* OrderEngine::buy(InstrumentInfo*, int32_t, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::buyAmount(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::buyRatio(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::sell(InstrumentInfo*, int32_t, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::sellAmount(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::sellRatio(InstrumentInfo*, double, char, double, int16_t, uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::closeLong(const char*, const char*, int32_t, char, double, int16_t,
                                    uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::closeShort(const char*, const char*, int32_t, char, double, int16_t,
                                     uint8_t) {
  return nullptr;
}
OrderHolder* OrderEngine::balanceToLongValue(InstrumentInfo*, double, char, double, int16_t) {
  return nullptr;
}
OrderHolder* OrderEngine::balanceToLongVolume(InstrumentInfo*, int32_t, char, double, int16_t) {
  return nullptr;
}
OrderHolder* OrderEngine::balanceToShortValue(InstrumentInfo*, double, char, double, int16_t) {
  return nullptr;
}
OrderHolder* OrderEngine::balanceToShortVolume(InstrumentInfo*, int32_t, char, double, int16_t) {
  return nullptr;
}

}  // namespace qv

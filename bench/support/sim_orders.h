// Order requests of the stand-in's benchmarks: one limit lot of rb2605, good for the day, in the
// shape every benchmark sends, and a bounded copy of a text into a request's fixed field.
#ifndef QV_BENCH_SUPPORT_SIM_ORDERS_H
#define QV_BENCH_SUPPORT_SIM_ORDERS_H

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "ThostFtdcUserApiStruct.h"

namespace qv_bench {

template <std::size_t N>
void put(char (&dst)[N], const char* text) {
  std::memset(dst, 0, N);
  std::memcpy(dst, text, std::min(std::strlen(text), N - 1));
}

inline CThostFtdcInputOrderField order(char direction, char offset, double price) {
  CThostFtdcInputOrderField o{};
  put(o.InstrumentID, "rb2605");
  o.OrderPriceType = THOST_FTDC_OPT_LimitPrice;
  o.Direction = direction;
  o.CombOffsetFlag[0] = offset;
  o.CombHedgeFlag[0] = THOST_FTDC_HF_Speculation;
  o.LimitPrice = price;
  o.VolumeTotalOriginal = 1;
  o.TimeCondition = THOST_FTDC_TC_GFD;
  o.VolumeCondition = THOST_FTDC_VC_AV;
  o.MinVolume = 1;
  o.ContingentCondition = THOST_FTDC_CC_Immediately;
  return o;
}

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_SIM_ORDERS_H

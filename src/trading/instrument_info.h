// InstrumentInfo: what the runtime knows of one instrument, made from the instrument query and
// shared by every client of the process. Never freed: order, position and snapshot holders keep
// pointers to it. Written once when made (by the trader callback thread that loads instruments),
// read without a lock afterwards; the leading lock keeps the holder layout of the runtime.
#ifndef QV_TRADING_INSTRUMENT_INFO_H
#define QV_TRADING_INSTRUMENT_INFO_H

#include <cstdint>
#include <type_traits>

#include "ThostFtdcUserApiStruct.h"
#include "base/spin_lock.h"
#include "trading/instrument_key.h"

namespace qv {

struct InstrumentInfo {
  SpinRwLock lock;
  char tradingDay[9];
  char ExchangeID[9];
  char InstrumentID[31];
  char InstrumentName[21];
  // '2' for exchanges that close yesterday's and today's lots separately (SHFE, INE), else '1'.
  char closeMode;
  int32_t orderLot;          // always 1
  int32_t minOrderVolume;    // larger of MinMarketOrderVolume and MinLimitOrderVolume
  int32_t MaxLimitOrderVolume;
  int32_t MinLimitOrderVolume;
  int32_t MaxMarketOrderVolume;
  int32_t MinMarketOrderVolume;
  double upperPriceBound;    // the largest finite double
  double lowerPriceBound;    // 0
  double PriceTick;
  int32_t VolumeMultiple;
  double marginRatio;        // larger of LongMarginRatio and ShortMarginRatio
  char key[kInstrumentKeySize];  // InstrumentID + "." + ExchangeID
};
static_assert(std::is_standard_layout_v<InstrumentInfo>);

// '2' when `exchangeId` is "SHFE" or "INE", '1' otherwise (also for null).
char closeModeOf(const char* exchangeId);

// Fills `info` (all fields but the lock) from an instrument query record.
void fillInstrumentInfo(InstrumentInfo& info, const CThostFtdcInstrumentField& record,
                        const char* tradingDay);

}  // namespace qv

#endif  // QV_TRADING_INSTRUMENT_INFO_H

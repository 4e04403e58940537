#include "trading/instrument_info.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/text.h"

namespace qv {

char closeModeOf(const char* exchangeId) {
  if (exchangeId == nullptr) return '1';
  return (std::strcmp(exchangeId, "SHFE") == 0 || std::strcmp(exchangeId, "INE") == 0) ? '2' : '1';
}

void fillInstrumentInfo(InstrumentInfo& info, const CThostFtdcInstrumentField& record,
                        const char* tradingDay) {
  copyText(info.tradingDay, tradingDay);
  copyText(info.ExchangeID, sizeof info.ExchangeID, record.ExchangeID);
  copyText(info.InstrumentID, sizeof info.InstrumentID, record.InstrumentID);
  copyText(info.InstrumentName, sizeof info.InstrumentName, record.InstrumentName);
  info.closeMode = closeModeOf(info.ExchangeID);
  info.orderLot = 1;
  info.minOrderVolume = std::max(record.MinMarketOrderVolume, record.MinLimitOrderVolume);
  info.MaxLimitOrderVolume = record.MaxLimitOrderVolume;
  info.MinLimitOrderVolume = record.MinLimitOrderVolume;
  info.MaxMarketOrderVolume = record.MaxMarketOrderVolume;
  info.MinMarketOrderVolume = record.MinMarketOrderVolume;
  info.upperPriceBound = std::numeric_limits<double>::max();
  info.lowerPriceBound = 0.0;
  info.PriceTick = record.PriceTick;
  info.VolumeMultiple = record.VolumeMultiple;
  info.marginRatio = std::max(record.LongMarginRatio, record.ShortMarginRatio);
  makeInstrumentKey(info.key, info.InstrumentID, info.ExchangeID);
}

}  // namespace qv

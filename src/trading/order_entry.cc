// Order entry: the slots that turn one export call into orders (buy and sell with their amount
// and ratio forms, explicit opens and closes, closing a side, balancing a side). Each runs on the
// host thread that called the export, through one EntryCall, and returns the call's first order
// (an automatic buyClose/sellClose returns its last) or null when it made none.
//
// A volume, amount, ratio or target that cannot place anything (zero, negative, not a number,
// infinite) and a missing instrument where the slot needs one give null without making an order.
// What one call may send is bounded as entry_call.h describes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/reentrant_lock.h"
#include "trading/entry_call.h"
#include "trading/instrument_table.h"
#include "trading/order_codes.h"
#include "trading/order_pricing.h"
#include "trading/volume_limits.h"

namespace qv {
namespace {

bool hasText(const char* text) { return text != nullptr && text[0] != '\0'; }

// An explicit order names its instrument by the holder or, without one, by a code.
bool namesInstrument(const InstrumentInfo* instrument, const char* instrumentId) {
  return instrument != nullptr || hasText(instrumentId);
}

}  // namespace

OrderHolder* OrderEngine::placeTrade(EntryCall& call, InstrumentInfo& instrument, bool sells) {
  // A buy makes the position it will hold; a sell only closes longs it finds.
  PositionHolder* position = positionFor(instrument.key, !sells, &instrument, nullptr,
                                         instrument.ExchangeID, instrument.InstrumentID);
  if (position != nullptr) {
    if (call.close(instrument, *position, sells, false) == EntryCall::CloseEnd::kVolumeUsed ||
        call.ended()) {
      return call.first();
    }
  }
  call.open(instrument, position, sells);
  return call.first();
}

OrderHolder* OrderEngine::buy(InstrumentInfo* instrument, int32_t volume, char orderType,
                              double price, int16_t orderMark, uint8_t) {
  if (instrument == nullptr || volume <= 0) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.setRemaining(volume);
  return placeTrade(call, *instrument, false);
}

OrderHolder* OrderEngine::sell(InstrumentInfo* instrument, int32_t volume, char orderType,
                               double price, int16_t orderMark, uint8_t) {
  if (instrument == nullptr || volume <= 0) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.setRemaining(volume);
  return placeTrade(call, *instrument, true);
}

OrderHolder* OrderEngine::buyAmount(InstrumentInfo* instrument, double amount, char orderType,
                                    double price, int16_t orderMark, uint8_t) {
  if (instrument == nullptr || !(amount > 0.0) || !std::isfinite(amount)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.sizeByAmount(amount);
  return placeTrade(call, *instrument, false);
}

OrderHolder* OrderEngine::sellAmount(InstrumentInfo* instrument, double amount, char orderType,
                                     double price, int16_t orderMark, uint8_t) {
  if (instrument == nullptr || !(amount > 0.0) || !std::isfinite(amount)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.sizeByAmount(amount);
  return placeTrade(call, *instrument, true);
}

OrderHolder* OrderEngine::buyRatio(InstrumentInfo* instrument, double ratio, char orderType,
                                   double price, int16_t orderMark, uint8_t) {
  if (!std::isfinite(ratio)) return nullptr;
  return buyAmount(instrument, usableCash() * ratio, orderType, price, orderMark, 0);
}

OrderHolder* OrderEngine::sellRatio(InstrumentInfo* instrument, double ratio, char orderType,
                                    double price, int16_t orderMark, uint8_t) {
  if (!std::isfinite(ratio)) return nullptr;
  return sellAmount(instrument, usableCash() * ratio, orderType, price, orderMark, 0);
}

OrderHolder* OrderEngine::buyOpen(InstrumentInfo* instrument, const char* exchangeId,
                                  const char* instrumentId, int32_t volume, char orderType,
                                  double price, int16_t orderMark) {
  if (volume <= 0 || !namesInstrument(instrument, instrumentId)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  return call.single(instrument, exchangeId, instrumentId, false, kOffsetOpen, volume);
}

OrderHolder* OrderEngine::sellOpen(InstrumentInfo* instrument, const char* exchangeId,
                                   const char* instrumentId, int32_t volume, char orderType,
                                   double price, int16_t orderMark) {
  if (volume <= 0 || !namesInstrument(instrument, instrumentId)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  return call.single(instrument, exchangeId, instrumentId, true, kOffsetOpen, volume);
}

OrderHolder* OrderEngine::closeAutomatically(EntryCall& call, InstrumentInfo* instrument,
                                             const char* exchangeId, const char* instrumentId,
                                             bool sells) {
  if (instrument == nullptr) {
    instrument = findInstrument(instrumentId, hasText(exchangeId) ? exchangeId : nullptr);
  }
  if (instrument == nullptr) return nullptr;
  PositionHolder* position = positionFor(instrument->key, true, instrument, nullptr,
                                         instrument->ExchangeID, instrument->InstrumentID);
  call.close(*instrument, *position, sells, false);
  return call.last();
}

OrderHolder* OrderEngine::sellClose(InstrumentInfo* instrument, const char* exchangeId,
                                    const char* instrumentId, int32_t volume, char orderType,
                                    double price, int16_t orderMark, uint8_t, char offsetFlag,
                                    int64_t) {
  if (volume <= 0 || !namesInstrument(instrument, instrumentId)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  if (offsetFlag != '\0') {
    return call.single(instrument, exchangeId, instrumentId, true, offsetFlag, volume);
  }
  call.setRemaining(volume);
  return closeAutomatically(call, instrument, exchangeId, instrumentId, true);
}

OrderHolder* OrderEngine::buyClose(InstrumentInfo* instrument, const char* exchangeId,
                                   const char* instrumentId, int32_t volume, char orderType,
                                   double price, int16_t orderMark, uint8_t, char offsetFlag,
                                   int64_t) {
  if (volume <= 0 || !namesInstrument(instrument, instrumentId)) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  if (offsetFlag != '\0') {
    return call.single(instrument, exchangeId, instrumentId, false, offsetFlag, volume);
  }
  call.setRemaining(volume);
  return closeAutomatically(call, instrument, exchangeId, instrumentId, false);
}

OrderHolder* OrderEngine::closeSide(EntryCall& call, const char* exchangeId,
                                    const char* instrumentId, bool sells, bool closeTodayFirst) {
  std::vector<PositionHolder*> visited;
  if (hasText(exchangeId) && hasText(instrumentId)) {
    char key[kInstrumentKeySize];
    makeInstrumentKey(key, instrumentId, exchangeId);
    PositionHolder* position = positions_.find(key);
    if (position == nullptr) return nullptr;
    visited.push_back(position);
  } else {
    // Each holder also stands under its code-only key: visit it once, under its own key.
    positions_.forEach([&](const std::string& key, PositionHolder* position) {
      if (key != position->key) return;
      if (hasText(exchangeId) && std::strcmp(position->record.ExchangeID, exchangeId) != 0) return;
      if (hasText(instrumentId) && std::strcmp(position->record.StandardID, instrumentId) != 0) {
        return;
      }
      visited.push_back(position);
    });
    std::sort(visited.begin(), visited.end(), [](const PositionHolder* a, const PositionHolder* b) {
      return std::strcmp(a->key, b->key) < 0;
    });
  }
  for (PositionHolder* position : visited) {
    if (position->instrument == nullptr) continue;
    call.close(*position->instrument, *position, sells, closeTodayFirst);
    if (call.remaining() < 1) break;
  }
  return call.first();
}

OrderHolder* OrderEngine::closeLong(const char* exchangeId, const char* instrumentId,
                                    int32_t volume, char orderType, double price,
                                    int16_t orderMark, uint8_t closeTodayFirst) {
  if (volume <= 0) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.setRemaining(volume);
  return closeSide(call, exchangeId, instrumentId, true, closeTodayFirst != 0);
}

OrderHolder* OrderEngine::closeShort(const char* exchangeId, const char* instrumentId,
                                     int32_t volume, char orderType, double price,
                                     int16_t orderMark, uint8_t closeTodayFirst) {
  if (volume <= 0) return nullptr;
  EntryCall call(*this, orderType, price, orderMark);
  call.setRemaining(volume);
  return closeSide(call, exchangeId, instrumentId, false, closeTodayFirst != 0);
}

OrderHolder* OrderEngine::balanceToVolume(InstrumentInfo* instrument, int32_t volume,
                                          char orderType, double price, int16_t orderMark,
                                          bool toLong) {
  if (instrument == nullptr || volume < 0) return nullptr;
  PositionHolder* position = positionFor(instrument->key, true, instrument, nullptr,
                                         instrument->ExchangeID, instrument->InstrumentID);
  int32_t held;      // the target side's closable lots at the start of the call
  int32_t opposite;  // the other side's
  {
    HolderReadGuard<PositionHolder> guard(position);
    const int32_t longs = position->record.LongVolume - position->record.LongVolumeFrozen;
    const int32_t shorts = position->record.ShortVolume - position->record.ShortVolumeFrozen;
    held = toLong ? longs : shorts;
    opposite = toLong ? shorts : longs;
  }
  // Towards a long target: buys close every short and open the missing longs, sells close the
  // surplus longs. Towards a short target the other way round.
  const bool sellsTowards = !toLong;
  EntryCall call(*this, orderType, price, orderMark);
  if (opposite >= 1) {
    call.setRemaining(opposite);
    call.close(*instrument, *position, sellsTowards, false);
    if (call.ended()) return call.first();
  }
  const int32_t difference = volume - held;
  if (difference < 0) {
    call.setRemaining(-difference);
    call.close(*instrument, *position, !sellsTowards, false);
  } else if (difference >= 1) {
    call.setRemaining(difference);
    call.open(*instrument, position, sellsTowards);
  }
  return call.first();
}

OrderHolder* OrderEngine::balanceToLongVolume(InstrumentInfo* instrument, int32_t volume,
                                              char orderType, double price, int16_t orderMark) {
  return balanceToVolume(instrument, volume, orderType, price, orderMark, true);
}

OrderHolder* OrderEngine::balanceToShortVolume(InstrumentInfo* instrument, int32_t volume,
                                               char orderType, double price, int16_t orderMark) {
  return balanceToVolume(instrument, volume, orderType, price, orderMark, false);
}

OrderHolder* OrderEngine::balanceToValue(InstrumentInfo* instrument, double value,
                                         char orderType, double price, int16_t orderMark,
                                         bool toLong) {
  if (instrument == nullptr) return nullptr;
  SnapshotMap* snapshots = snapshotMap();
  SnapshotEntry* snapshot = snapshots != nullptr ? snapshots->find(instrument->key) : nullptr;
  const double last = snapshotPrice(snapshot, PriceSource::kLast, true);
  const int32_t volume = volumeForValue(value, last, *instrument);
  if (volume < 0) return nullptr;
  return balanceToVolume(instrument, volume, orderType, price, orderMark, toLong);
}

OrderHolder* OrderEngine::balanceToLongValue(InstrumentInfo* instrument, double value,
                                             char orderType, double price, int16_t orderMark) {
  return balanceToValue(instrument, value, orderType, price, orderMark, true);
}

OrderHolder* OrderEngine::balanceToShortValue(InstrumentInfo* instrument, double value,
                                              char orderType, double price, int16_t orderMark) {
  return balanceToValue(instrument, value, orderType, price, orderMark, false);
}

}  // namespace qv

// Order exports: each looks the instrument up as its kind requires, calls one slot of the client
// and hands back the first order's record (holder address + 8), or null. Refused with null and no
// order: an order mark outside 0..99 (the mark is the last two digits of the OrderID, so any other
// mark would give OrderIDs that collide or that the order reports cannot be matched to), and a
// price that is not a finite number (it would be frozen into usable cash as infinity or NaN).
#include <cmath>

#include "api/export_guard.h"
#include "api/exports.h"
#include "trading/instrument_table.h"

using qv::api::guarded;
using qv::api::recordOf;

namespace {

constexpr int16_t kMaxOrderMark = 99;

bool acceptsOrder(QvHandle handle, int16_t orderMark, double price) {
  return orderMark >= 0 && orderMark <= kMaxOrderMark && std::isfinite(price) &&
         qv::api::knownHandle(handle);
}

// Runs an order operation that needs a known instrument: null without calling when the handle or
// the mark is refused or the instrument is not in the instrument table.
template <typename Call>
CQVOrderField* withInstrument(QvHandle handle, int16_t orderMark, double price,
                              const char* instrumentId, const char* exchangeId, Call&& call) {
  if (!acceptsOrder(handle, orderMark, price)) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&]() -> CQVOrderField* {
    qv::InstrumentInfo* instrument = qv::findInstrument(instrumentId, exchangeId);
    if (instrument == nullptr) return nullptr;
    return recordOf(call(instrument));
  });
}

// Runs an explicit open or close: with a null exchange the instrument is looked up by its code
// alone and, when found, passed with its own exchange id; with an exchange, a null instrument and
// the given texts go on without a lookup.
template <typename Call>
CQVOrderField* withOptionalInstrument(QvHandle handle, int16_t orderMark, double price,
                                      const char* instrumentId, const char* exchangeId,
                                      Call&& call) {
  if (!acceptsOrder(handle, orderMark, price)) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&]() -> CQVOrderField* {
    qv::InstrumentInfo* instrument = nullptr;
    const char* exchange = exchangeId;
    if (exchange == nullptr) {
      instrument = qv::findInstrument(instrumentId, nullptr);
      if (instrument != nullptr) exchange = instrument->ExchangeID;
    }
    return recordOf(call(instrument, exchange));
  });
}

char code(uint8_t value) { return static_cast<char>(value); }

}  // namespace

CQVOrderField* buy(QvHandle handle, const char* instrumentId, int32_t volume, uint8_t orderType,
                   double price, int16_t orderMark, const char* exchangeId, uint8_t unused) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->buy(instrument, volume, code(orderType), price, orderMark, unused);
  });
}

CQVOrderField* sell(QvHandle handle, const char* instrumentId, int32_t volume, uint8_t orderType,
                    double price, int16_t orderMark, const char* exchangeId, uint8_t unused) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->sell(instrument, volume, code(orderType), price, orderMark, unused);
  });
}

CQVOrderField* buyAmount(QvHandle handle, const char* instrumentId, double amount,
                         uint8_t orderType, double price, int16_t orderMark,
                         const char* exchangeId, uint8_t unused) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->buyAmount(instrument, amount, code(orderType), price, orderMark, unused);
  });
}

CQVOrderField* sellAmount(QvHandle handle, const char* instrumentId, double amount,
                          uint8_t orderType, double price, int16_t orderMark,
                          const char* exchangeId, uint8_t unused) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->sellAmount(instrument, amount, code(orderType), price, orderMark, unused);
  });
}

CQVOrderField* buyRatio(QvHandle handle, const char* instrumentId, double ratio,
                        uint8_t orderType, double price, int16_t orderMark,
                        const char* exchangeId, uint8_t flag) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->buyRatio(instrument, ratio, code(orderType), price, orderMark, flag);
  });
}

CQVOrderField* sellRatio(QvHandle handle, const char* instrumentId, double ratio,
                         uint8_t orderType, double price, int16_t orderMark,
                         const char* exchangeId, uint8_t flag) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->sellRatio(instrument, ratio, code(orderType), price, orderMark, flag);
  });
}

CQVOrderField* balanceToLongValue(QvHandle handle, const char* instrumentId, double value,
                                  uint8_t orderType, double price, int16_t orderMark,
                                  const char* exchangeId) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->balanceToLongValue(instrument, value, code(orderType), price, orderMark);
  });
}

CQVOrderField* balanceToShortValue(QvHandle handle, const char* instrumentId, double value,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->balanceToShortValue(instrument, value, code(orderType), price, orderMark);
  });
}

CQVOrderField* balanceToLongVolume(QvHandle handle, const char* instrumentId, int32_t volume,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->balanceToLongVolume(instrument, volume, code(orderType), price, orderMark);
  });
}

CQVOrderField* balanceToShortVolume(QvHandle handle, const char* instrumentId, int32_t volume,
                                    uint8_t orderType, double price, int16_t orderMark,
                                    const char* exchangeId) {
  return withInstrument(handle, orderMark, price, instrumentId, exchangeId,
                        [&](qv::InstrumentInfo* instrument) {
    return handle->balanceToShortVolume(instrument, volume, code(orderType), price, orderMark);
  });
}

CQVOrderField* buyOpen(QvHandle handle, const char* instrumentId, int32_t volume,
                       uint8_t orderType, double price, int16_t orderMark,
                       const char* exchangeId, uint8_t) {
  return withOptionalInstrument(
      handle, orderMark, price, instrumentId, exchangeId, [&](qv::InstrumentInfo* instrument, const char* exchange) {
        return handle->buyOpen(instrument, exchange, instrumentId, volume, code(orderType), price,
                               orderMark);
      });
}

CQVOrderField* sellOpen(QvHandle handle, const char* instrumentId, int32_t volume,
                        uint8_t orderType, double price, int16_t orderMark,
                        const char* exchangeId, uint8_t, int64_t) {
  return withOptionalInstrument(
      handle, orderMark, price, instrumentId, exchangeId, [&](qv::InstrumentInfo* instrument, const char* exchange) {
        return handle->sellOpen(instrument, exchange, instrumentId, volume, code(orderType), price,
                                orderMark);
      });
}

CQVOrderField* buyClose(QvHandle handle, const char* instrumentId, int32_t volume,
                        uint8_t orderType, double price, int16_t orderMark,
                        const char* exchangeId, uint8_t unused, uint8_t offsetFlag,
                        int64_t unusedValue) {
  return withOptionalInstrument(
      handle, orderMark, price, instrumentId, exchangeId, [&](qv::InstrumentInfo* instrument, const char* exchange) {
        return handle->buyClose(instrument, exchange, instrumentId, volume, code(orderType), price,
                                orderMark, unused, code(offsetFlag), unusedValue);
      });
}

CQVOrderField* sellClose(QvHandle handle, const char* instrumentId, int32_t volume,
                         uint8_t orderType, double price, int16_t orderMark,
                         const char* exchangeId, uint8_t unused, uint8_t offsetFlag,
                         int64_t unusedValue) {
  return withOptionalInstrument(
      handle, orderMark, price, instrumentId, exchangeId, [&](qv::InstrumentInfo* instrument, const char* exchange) {
        return handle->sellClose(instrument, exchange, instrumentId, volume, code(orderType),
                                 price, orderMark, unused, code(offsetFlag), unusedValue);
      });
}

CQVOrderField* closeLong(QvHandle handle, const char* instrumentId, int32_t volume,
                         uint8_t orderType, double price, int16_t orderMark,
                         const char* exchangeId, uint8_t closeTodayFirst) {
  if (!acceptsOrder(handle, orderMark, price)) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&] {
    return recordOf(handle->closeLong(exchangeId, instrumentId, volume, code(orderType), price,
                                      orderMark, closeTodayFirst));
  });
}

CQVOrderField* closeShort(QvHandle handle, const char* instrumentId, int32_t volume,
                          uint8_t orderType, double price, int16_t orderMark,
                          const char* exchangeId, uint8_t closeTodayFirst) {
  if (!acceptsOrder(handle, orderMark, price)) return nullptr;
  return guarded<CQVOrderField*>(nullptr, [&] {
    return recordOf(handle->closeShort(exchangeId, instrumentId, volume, code(orderType), price,
                                       orderMark, closeTodayFirst));
  });
}

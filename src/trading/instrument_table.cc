#include "trading/instrument_table.h"

#include <memory>

#include "trading/instrument_key.h"
#include "trading/trading_day.h"

namespace qv {

InstrumentTable& instrumentTable() {
  // Never destroyed: holders all over the process point into it until the process ends.
  static InstrumentTable* table = new InstrumentTable(4096);
  return *table;
}

InstrumentInfo* findInstrument(const char* instrumentId, const char* exchangeId) {
  if (instrumentId == nullptr) return nullptr;
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, instrumentId, exchangeId);
  return instrumentTable().find(key);
}

InstrumentInfo* enterInstrument(const CThostFtdcInstrumentField& record) {
  InstrumentTable& table = instrumentTable();
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, record.InstrumentID, record.ExchangeID);
  InstrumentInfo* info = table.find(key);
  if (info == nullptr) {
    auto made = std::make_unique<InstrumentInfo>();
    fillInstrumentInfo(*made, record, currentTradingDay().c_str());
    info = table.insert(key, made.get());
    if (info == made.get()) made.release();
  }
  char shortKey[kInstrumentKeySize];
  makeInstrumentKey(shortKey, record.InstrumentID, nullptr);
  table.assign(shortKey, info);
  return info;
}

}  // namespace qv

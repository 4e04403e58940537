// instrumentTable: the process-wide map from instrumentKey to InstrumentInfo, shared by every
// client. Each instrument is entered under "ID.EXCH" and under "ID." (the latter always points to
// the instrument of that code entered last), so a look-up without an exchange finds it too.
// Entries and the InstrumentInfo objects are never removed or freed. Searches are safe on any
// thread while another client's instrument query inserts (TextMap).
#ifndef QV_TRADING_INSTRUMENT_TABLE_H
#define QV_TRADING_INSTRUMENT_TABLE_H

#include "ThostFtdcUserApiStruct.h"
#include "trading/instrument_info.h"
#include "trading/text_map.h"

namespace qv {

using InstrumentTable = TextMap<InstrumentInfo>;

InstrumentTable& instrumentTable();

// The instrument lookup of the order exports: key instrumentId + "." + exchangeId, or
// instrumentId + "." when exchangeId is null. Null when unknown or instrumentId is null.
InstrumentInfo* findInstrument(const char* instrumentId, const char* exchangeId);

// Finds the instrument of `record` under its full key or makes it (copying the current trading
// day), then points the "ID." entry at it. Returns the table's entry.
InstrumentInfo* enterInstrument(const CThostFtdcInstrumentField& record);

}  // namespace qv

#endif  // QV_TRADING_INSTRUMENT_TABLE_H

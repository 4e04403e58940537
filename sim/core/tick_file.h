// Tick files: CSV whose header row names fields of CThostFtdcDepthMarketDataField, one snapshot a
// row. Columns the record does not have are ignored; fields without a column stay zero, except the
// prices a front sends as "not published" (ClosePrice, SettlementPrice, CurrDelta), which become the
// largest double. Stateless; any thread.
#pragma once

#include <string>
#include <vector>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

// Reads every row of a tick file; false with a message naming the file and line on failure.
// A file needs at least the InstrumentID and LastPrice columns.
bool readTickFile(const std::string& path, std::vector<CThostFtdcDepthMarketDataField>& out, std::string& error);

// Milliseconds since midnight of a snapshot's UpdateTime and UpdateMillisec; -1 when unreadable.
long long tickMillis(const CThostFtdcDepthMarketDataField& depth);

}  // namespace qvsim

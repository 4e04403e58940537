// Tick files: CSV whose header row names fields of CThostFtdcDepthMarketDataField, one snapshot a
// row, read, checked and normalised in one pass before a replay starts. Columns the record does not
// have are ignored; fields without a column stay zero, except the prices a front sends as "not
// published" (ClosePrice, SettlementPrice, CurrDelta), which become the largest double. A blank
// ExchangeID takes the instrument's exchange. What real recorders write is normalised as
// tick_normaliser.h says and counted in TickFile::normalised; a strict read refuses it instead.
// Errors name the file, the line and the field: an instrument the exchange does not list or a
// wrong exchange, a row with fewer or more cells than the header, a value that is not a number,
// a line longer than kMaxTickLine bytes, and, strict, the first thing normalising would change.
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/replay/tick_normaliser.h"

namespace qvsim {

constexpr std::size_t kMaxTickLine = 64 * 1024;

struct TickInstrument {
  std::string instrumentId;
  std::string exchangeId;
  long long ticks = 0;
  std::size_t firstRow = 0;  // index of its first snapshot in TickFile::ticks, when it has one
};

struct TickFile {
  std::string path;
  std::vector<CThostFtdcDepthMarketDataField> ticks;
  // Per snapshot: its time on a clock that runs on across midnight and trading days and never
  // goes back (milliseconds), or -1 when the file has no UpdateTime.
  std::vector<long long> millis;
  std::vector<TickInstrument> instruments;  // in first-seen order
  // The TradingDay of its snapshots as kept (after normalisation), each once, in first-seen
  // order; a blank one as "".
  std::vector<std::string> tradingDays;
  NormalisationCounts normalised;
};


// The exchange of an instrument the exchange lists, or null.
using ExchangeLookup = std::function<const std::string*(std::string_view instrumentId)>;

// Reads and checks every row of a tick file; false with a message on the first failure. A file
// needs at least the InstrumentID and LastPrice columns.
bool readTickFile(const std::string& path, const ExchangeLookup& exchangeOf, const TickReadOptions& options,
                  TickFile& out, std::string& error);

// Milliseconds since midnight of "HH:MM:SS" and a millisecond count; -1 when unreadable.
long long dayMillis(std::string_view updateTime, int updateMillisec);

}  // namespace qvsim

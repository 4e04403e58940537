#include "core/tick_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>

#include "core/fields.h"

namespace qvsim {

namespace {

using Depth = CThostFtdcDepthMarketDataField;

enum class Kind { kText, kDouble, kInt };

struct Column {
  Kind kind;
  std::size_t offset;
  std::size_t size;
};

#define QVSIM_TEXT(name) {#name, {Kind::kText, offsetof(Depth, name), sizeof(Depth::name)}}
#define QVSIM_DOUBLE(name) {#name, {Kind::kDouble, offsetof(Depth, name), sizeof(double)}}
#define QVSIM_INT(name) {#name, {Kind::kInt, offsetof(Depth, name), sizeof(int)}}

const std::map<std::string, Column>& columns() {
  static const std::map<std::string, Column> table = {
      QVSIM_TEXT(TradingDay),       QVSIM_TEXT(InstrumentID),        QVSIM_TEXT(ExchangeID),
      QVSIM_TEXT(ExchangeInstID),   QVSIM_DOUBLE(LastPrice),         QVSIM_DOUBLE(PreSettlementPrice),
      QVSIM_DOUBLE(PreClosePrice),  QVSIM_DOUBLE(PreOpenInterest),   QVSIM_DOUBLE(OpenPrice),
      QVSIM_DOUBLE(HighestPrice),   QVSIM_DOUBLE(LowestPrice),       QVSIM_INT(Volume),
      QVSIM_DOUBLE(Turnover),       QVSIM_DOUBLE(OpenInterest),      QVSIM_DOUBLE(ClosePrice),
      QVSIM_DOUBLE(SettlementPrice), QVSIM_DOUBLE(UpperLimitPrice),  QVSIM_DOUBLE(LowerLimitPrice),
      QVSIM_DOUBLE(PreDelta),       QVSIM_DOUBLE(CurrDelta),         QVSIM_TEXT(UpdateTime),
      QVSIM_INT(UpdateMillisec),    QVSIM_DOUBLE(BidPrice1),         QVSIM_INT(BidVolume1),
      QVSIM_DOUBLE(AskPrice1),      QVSIM_INT(AskVolume1),           QVSIM_DOUBLE(BidPrice2),
      QVSIM_INT(BidVolume2),        QVSIM_DOUBLE(AskPrice2),         QVSIM_INT(AskVolume2),
      QVSIM_DOUBLE(BidPrice3),      QVSIM_INT(BidVolume3),           QVSIM_DOUBLE(AskPrice3),
      QVSIM_INT(AskVolume3),        QVSIM_DOUBLE(BidPrice4),         QVSIM_INT(BidVolume4),
      QVSIM_DOUBLE(AskPrice4),      QVSIM_INT(AskVolume4),           QVSIM_DOUBLE(BidPrice5),
      QVSIM_INT(BidVolume5),        QVSIM_DOUBLE(AskPrice5),         QVSIM_INT(AskVolume5),
      QVSIM_DOUBLE(AveragePrice),   QVSIM_TEXT(ActionDay),
  };
  return table;
}

#undef QVSIM_TEXT
#undef QVSIM_DOUBLE
#undef QVSIM_INT

std::vector<std::string> splitCsv(const std::string& line) {
  std::vector<std::string> cells(1);
  for (char c : line) {
    if (c == ',') {
      cells.emplace_back();
    } else if (c != '\r' && c != '"') {
      cells.back().push_back(c);
    }
  }
  return cells;
}

bool store(Depth& d, const Column& column, const std::string& cell) {
  char* base = reinterpret_cast<char*>(&d) + column.offset;
  if (column.kind == Kind::kText) {
    const std::size_t n = std::min(cell.size(), column.size - 1);
    std::memcpy(base, cell.data(), n);
    std::memset(base + n, 0, column.size - n);
    return true;
  }
  if (cell.empty()) return true;
  char* end = nullptr;
  if (column.kind == Kind::kDouble) {
    const double value = std::strtod(cell.c_str(), &end);
    if (end == cell.c_str() || *end != '\0') return false;
    std::memcpy(base, &value, sizeof(value));
  } else {
    const long value = std::strtol(cell.c_str(), &end, 10);
    if (end == cell.c_str() || *end != '\0' || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
      return false;
    }
    const int narrow = static_cast<int>(value);
    std::memcpy(base, &narrow, sizeof(narrow));
  }
  return true;
}

}  // namespace

bool readTickFile(const std::string& path, std::vector<Depth>& out, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read tick file " + path;
    return false;
  }
  std::string line;
  if (!std::getline(file, line)) {
    error = path + ": no header row";
    return false;
  }
  std::vector<const Column*> layout;
  bool hasInstrument = false;
  bool hasLast = false;
  for (const std::string& name : splitCsv(line)) {
    auto it = columns().find(name);
    layout.push_back(it == columns().end() ? nullptr : &it->second);
    hasInstrument = hasInstrument || name == "InstrumentID";
    hasLast = hasLast || name == "LastPrice";
  }
  if (!hasInstrument || !hasLast) {
    error = path + ": the header needs InstrumentID and LastPrice columns";
    return false;
  }
  std::vector<Depth> ticks;
  long long lineNumber = 1;
  while (std::getline(file, line)) {
    ++lineNumber;
    if (line.empty() || line == "\r") continue;
    const std::vector<std::string> cells = splitCsv(line);
    Depth d = zeroRecord<Depth>();
    d.ClosePrice = d.SettlementPrice = d.CurrDelta = std::numeric_limits<double>::max();
    for (std::size_t i = 0; i < cells.size() && i < layout.size(); ++i) {
      if (layout[i] != nullptr && !store(d, *layout[i], cells[i])) {
        error = path + ":" + std::to_string(lineNumber) + ": bad value '" + cells[i] + "'";
        return false;
      }
    }
    if (d.InstrumentID[0] == '\0') {
      error = path + ":" + std::to_string(lineNumber) + ": no InstrumentID";
      return false;
    }
    ticks.push_back(d);
  }
  out = std::move(ticks);
  return true;
}

long long tickMillis(const Depth& depth) {
  int h = 0;
  int m = 0;
  int s = 0;
  const std::string text = getText(depth.UpdateTime);
  if (std::sscanf(text.c_str(), "%d:%d:%d", &h, &m, &s) != 3) return -1;
  return ((h * 60LL + m) * 60 + s) * 1000 + depth.UpdateMillisec;
}

}  // namespace qvsim

#include "core/replay/tick_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>

#include "core/replay/tick_normaliser.h"
#include "core/text/fields.h"
#include "core/text/text_map.h"

namespace qvsim {

namespace {

using Depth = CThostFtdcDepthMarketDataField;

constexpr long long kDayMillis = 24LL * 3600 * 1000;
constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::size_t kPrefaultRows = 4096;  // rows mapped at a time at most: about 1.7 MB

// Prices are what CThostFtdcDepthMarketDataField gives as prices: last, open, high, low, close,
// settlement, limits, average, bids and asks, the previous day's, and the deltas. Turnover and
// open interest are plain numbers.
enum class Kind { kText, kPrice, kDouble, kInt };

bool isReal(Kind kind) { return kind == Kind::kPrice || kind == Kind::kDouble; }

struct Column {
  const char* name;
  Kind kind;
  std::size_t offset;
  std::size_t size;
};

#define QVSIM_TEXT(name) {#name, Kind::kText, offsetof(Depth, name), sizeof(Depth::name)}
#define QVSIM_PRICE(name) {#name, Kind::kPrice, offsetof(Depth, name), sizeof(double)}
#define QVSIM_DOUBLE(name) {#name, Kind::kDouble, offsetof(Depth, name), sizeof(double)}
#define QVSIM_INT(name) {#name, Kind::kInt, offsetof(Depth, name), sizeof(int)}

const Column kColumns[] = {
    QVSIM_TEXT(TradingDay),       QVSIM_TEXT(InstrumentID),        QVSIM_TEXT(ExchangeID),
    QVSIM_TEXT(ExchangeInstID),   QVSIM_PRICE(LastPrice),          QVSIM_PRICE(PreSettlementPrice),
    QVSIM_PRICE(PreClosePrice),   QVSIM_DOUBLE(PreOpenInterest),   QVSIM_PRICE(OpenPrice),
    QVSIM_PRICE(HighestPrice),    QVSIM_PRICE(LowestPrice),        QVSIM_INT(Volume),
    QVSIM_DOUBLE(Turnover),       QVSIM_DOUBLE(OpenInterest),      QVSIM_PRICE(ClosePrice),
    QVSIM_PRICE(SettlementPrice), QVSIM_PRICE(UpperLimitPrice),    QVSIM_PRICE(LowerLimitPrice),
    QVSIM_PRICE(PreDelta),        QVSIM_PRICE(CurrDelta),          QVSIM_TEXT(UpdateTime),
    QVSIM_INT(UpdateMillisec),    QVSIM_PRICE(BidPrice1),          QVSIM_INT(BidVolume1),
    QVSIM_PRICE(AskPrice1),       QVSIM_INT(AskVolume1),           QVSIM_PRICE(BidPrice2),
    QVSIM_INT(BidVolume2),        QVSIM_PRICE(AskPrice2),          QVSIM_INT(AskVolume2),
    QVSIM_PRICE(BidPrice3),       QVSIM_INT(BidVolume3),           QVSIM_PRICE(AskPrice3),
    QVSIM_INT(AskVolume3),        QVSIM_PRICE(BidPrice4),          QVSIM_INT(BidVolume4),
    QVSIM_PRICE(AskPrice4),       QVSIM_INT(AskVolume4),           QVSIM_PRICE(BidPrice5),
    QVSIM_INT(BidVolume5),        QVSIM_PRICE(AskPrice5),          QVSIM_INT(AskVolume5),
    QVSIM_PRICE(AveragePrice),    QVSIM_TEXT(ActionDay),
};

#undef QVSIM_TEXT
#undef QVSIM_PRICE
#undef QVSIM_DOUBLE
#undef QVSIM_INT

const Column* columnNamed(std::string_view name) {
  for (const Column& c : kColumns) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string_view trimCell(std::string_view cell) {
  if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') cell = cell.substr(1, cell.size() - 2);
  return cell;
}

enum class Cell { kStored, kNoValue, kBad };

bool isNotAvailable(std::string_view cell) {
  return cell.size() == 3 && (cell[0] == 'N' || cell[0] == 'n') && cell[1] == '/' && (cell[2] == 'A' || cell[2] == 'a');
}

// A number too large for a double: out of range without a negative exponent.
bool overflows(std::string_view number) {
  const std::size_t e = number.find_first_of("eE");
  return e == std::string_view::npos || e + 1 >= number.size() || number[e + 1] != '-';
}

// The general reading of a cell, for what storeCommon leaves: quotes and spaces around it, a sign,
// an exponent, long digit runs, and a price without a value (empty, N/A, nan, 1e300 and above),
// which becomes the largest double as a front sends it. The largest double itself is a front's
// own "no value" and is stored as any price. from_chars rounds every decimal correctly, as
// storeCommon does.
Cell store(Depth& d, const Column& column, std::string_view cell) {
  char* base = reinterpret_cast<char*>(&d) + column.offset;
  if (column.kind == Kind::kText) {
    // A text must fit its field whole and hold no NUL: cut or ended early, it would name another
    // instrument, day or time than the row does.
    if (cell.size() >= column.size || std::memchr(cell.data(), '\0', cell.size()) != nullptr) return Cell::kBad;
    std::memcpy(base, cell.data(), cell.size());
    return Cell::kStored;
  }
  while (!cell.empty() && cell.front() == ' ') cell.remove_prefix(1);
  while (!cell.empty() && cell.back() == ' ') cell.remove_suffix(1);
  const bool price = column.kind == Kind::kPrice;
  const auto noValue = [base] {
    const double value = std::numeric_limits<double>::max();
    std::memcpy(base, &value, sizeof(value));
    return Cell::kNoValue;
  };
  if (cell.empty()) return price ? noValue() : Cell::kStored;
  if (price && isNotAvailable(cell)) return noValue();
  if (cell.front() == '+') cell.remove_prefix(1);
  const char* end = cell.data() + cell.size();
  if (isReal(column.kind)) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(cell.data(), end, value);
    if (ptr != end) return Cell::kBad;
    if (ec == std::errc::result_out_of_range && price && cell.front() != '-' && overflows(cell)) return noValue();
    if (ec != std::errc()) return Cell::kBad;
    if (price && (std::isnan(value) || (value >= 1e300 && value != std::numeric_limits<double>::max()))) return noValue();
    std::memcpy(base, &value, sizeof(value));
  } else {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(cell.data(), end, value);
    if (ec != std::errc() || ptr != end) return Cell::kBad;
    std::memcpy(base, &value, sizeof(value));
  }
  return Cell::kStored;
}

constexpr std::uint64_t kTens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
                                   10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                                   1000000000000000, 10000000000000000};

// The run of decimal digits at p, as a number, and its length, eight bytes at a time. Stops after
// 16 digits (the caller refuses such runs). The bytes up to the first non-digit and eight more
// must be readable: the line reader keeps a non-digit after every line and slack after its data.
[[gnu::always_inline]] inline int digitRun(const char* p, std::uint64_t& value) {
  value = 0;
  int count = 0;
  for (;;) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p + count, sizeof(chunk));
    // Each byte minus '0'; a byte is a digit when that is at most 9 (its top bit stays clear).
    const std::uint64_t x = chunk ^ 0x3030303030303030ull;
    const std::uint64_t other = (((x & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | x) & 0x8080808080808080ull;
    const int n = other == 0 ? 8 : __builtin_ctzll(other) / 8;
    if (n == 0) return count;
    // The n digits moved to the top bytes (leading zeros below), then summed pairwise.
    std::uint64_t v = x << (8 * (8 - n));
    v = (v * 2561) >> 8 & 0x00FF00FF00FF00FFull;
    v = (v * 6553601) >> 16 & 0x0000FFFF0000FFFFull;
    v = (v * 42949672960001ull) >> 32;
    value = value * kTens[n] + v;
    count += n;
    if (n < 8 || count >= 16) return count;
  }
}

// The common cell, parsed while it is found: a plain decimal, integer or unquoted text straight up
// to the next comma or the line's end. Returns where the cell ends, or null for anything else
// (spaces, quotes, signs or exponents, long digit runs, a NUL), which the caller then reads through
// store(), to the same value.
[[gnu::always_inline]] inline const char* storeCommon(Depth& d, const Column& column, const char* p, const char* end) {
  char* base = reinterpret_cast<char*>(&d) + column.offset;
  const char* q = p;
  if (column.kind == Kind::kText) {
    while (q != end && *q != ',') {
      if (*q == '"' || *q == '\0') return nullptr;
      ++q;
    }
    const std::size_t n = static_cast<std::size_t>(q - p);
    if (n >= column.size) return nullptr;
    std::memcpy(base, p, n);
    return q;
  }
  const bool negative = q != end && *q == '-';
  if (negative) ++q;
  std::uint64_t whole = 0;
  const int count = digitRun(q, whole);
  q += count;
  std::uint64_t fraction = 0;
  int decimals = 0;
  if (isReal(column.kind) && q != end && *q == '.') {
    decimals = digitRun(++q, fraction);
    q += decimals;
  }
  if ((q != end && *q != ',') || count + decimals == 0) return nullptr;
  if (isReal(column.kind)) {
    // At most 15 digits are exact in a double; one division by an exact power of ten then rounds
    // correctly, and a whole number ("3512.0") needs none.
    if (count + decimals > 15) return nullptr;
    const double value = fraction == 0 ? static_cast<double>(whole)
                                       : static_cast<double>(whole * kTens[decimals] + fraction) /
                                             static_cast<double>(kTens[decimals]);
    const double signedValue = negative ? -value : value;
    std::memcpy(base, &signedValue, sizeof(signedValue));
  } else {
    if (count > 9) return nullptr;
    const int value = negative ? -static_cast<int>(whole) : static_cast<int>(whole);
    std::memcpy(base, &value, sizeof(value));
  }
  return q;
}

// Reads a file line by line in large blocks; a line longer than kMaxTickLine is an error.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file), buffer_(new char[kReadBlock + kMaxTickLine + kSlack]) {}

  // The next line without its newline; false at the end of the file or on a too long line
  // (tooLong() tells which).
  bool next(std::string_view& line) {
    for (;;) {
      const char* start = buffer_.get() + begin_;
      if (const void* nl = std::memchr(start, '\n', end_ - begin_)) {
        const std::size_t length = static_cast<const char*>(nl) - start;
        if (length > kMaxTickLine) return fail();
        line = std::string_view(start, length);
        begin_ += length + 1;
        return true;
      }
      if (end_ - begin_ > kMaxTickLine) return fail();
      if (eof_) {
        if (begin_ == end_) return false;
        line = std::string_view(start, end_ - begin_);
        begin_ = end_;
        return true;
      }
      std::memmove(buffer_.get(), start, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
      const std::size_t got = std::fread(buffer_.get() + end_, 1, kReadBlock, file_);
      end_ += got;
      // A line at the end of the file ends like the others, and what follows the data is defined.
      std::memset(buffer_.get() + end_, '\n', kSlack);
      if (got == 0) eof_ = true;
    }
  }
  bool tooLong() const { return tooLong_; }

 private:
  static constexpr std::size_t kSlack = 16;

  bool fail() {
    tooLong_ = true;
    return false;
  }

  std::FILE* file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool tooLong_ = false;
};

long fileSize(std::FILE* file) {
  struct stat info {};
  return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<long>(info.st_size) : -1;
}

// Maps the pages of a fresh block in one call rather than one fault per page as the rows land.
// The block's first and last partial pages are left to fault in as usual.
// Only a hint: kernels without it fault the pages in as before.
void prefault(void* data, std::size_t bytes) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace

long long dayMillis(std::string_view t, int updateMillisec) {
  auto digits = [&](std::size_t at) {
    return t[at] >= '0' && t[at] <= '9' && t[at + 1] >= '0' && t[at + 1] <= '9' ? (t[at] - '0') * 10 + t[at + 1] - '0'
                                                                               : -1;
  };
  if (t.size() != 8 || t[2] != ':' || t[5] != ':') return -1;
  const int h = digits(0);
  const int m = digits(3);
  const int s = digits(6);
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 60 || updateMillisec < 0 || updateMillisec > 999) return -1;
  return ((h * 60LL + m) * 60 + s) * 1000 + updateMillisec;
}

bool readTickFile(const std::string& path, const ExchangeLookup& exchangeOf, const TickReadOptions& options,
                  TickFile& out, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    error = "cannot read tick file " + path;
    return false;
  }
  LineReader reader(file.get());
  long long lineNumber = 1;
  auto where = [&](const char* field) {
    return path + ":" + std::to_string(lineNumber) + (field != nullptr ? std::string(": field ") + field : "") + ": ";
  };
  std::string_view line;
  if (!reader.next(line)) {
    error = reader.tooLong() ? where(nullptr) + "line longer than " + std::to_string(kMaxTickLine) + " bytes"
                             : path + ": no header row";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::vector<const Column*> layout;
  std::vector<std::string> names;
  for (std::size_t from = 0;;) {
    const std::size_t comma = line.find(',', from);
    const std::string_view name = trimCell(line.substr(from, comma == std::string_view::npos ? line.npos : comma - from));
    layout.push_back(columnNamed(name));
    names.emplace_back(name);
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  int instrumentColumn = -1;
  int exchangeColumn = -1;
  bool hasLast = false;
  bool hasTime = false;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    if (layout[i] == nullptr) continue;
    const std::string_view name = layout[i]->name;
    if (name == "InstrumentID" && instrumentColumn < 0) instrumentColumn = static_cast<int>(i);
    if (name == "ExchangeID" && exchangeColumn < 0) exchangeColumn = static_cast<int>(i);
    hasLast = hasLast || name == "LastPrice";
    hasTime = hasTime || name == "UpdateTime";
  }
  if (instrumentColumn < 0 || !hasLast) {
    error = path + ": the header needs InstrumentID and LastPrice columns";
    return false;
  }

  TickFile result;
  result.path = path;
  TextMap<std::size_t> indexOf;  // instrument id -> its index in result.instruments
  TickNormaliser normaliser(options);
  TickRefusal refusal;
  long long running = -1;   // the file's running clock
  long long offset = 0;     // days added to times of day, in milliseconds
  long long lastOfDay = -1; // the previous snapshot's time of day
  std::string fileDay;      // and its trading day
  std::size_t prefaulted = 0;  // rows of the reserved room whose pages are mapped
  Depth blank = zeroRecord<Depth>();
  blank.ClosePrice = blank.SettlementPrice = blank.CurrDelta = std::numeric_limits<double>::max();
  while (reader.next(line)) {
    ++lineNumber;
    if (line.empty() || line == "\r") continue;
    if (result.ticks.empty()) {
      // As many snapshots as rows like the first fit in the file: no copying as the day grows.
      // The room is only address space until rows land in it; a file whose first row is much
      // shorter than the rest may ask for more than there is, and then grows as it goes.
      const long size = fileSize(file.get());
      try {
        if (size > 0) result.ticks.reserve(static_cast<std::size_t>(size) / (line.size() + 1) + 16);
        result.millis.reserve(result.ticks.capacity());
      } catch (const std::bad_alloc&) {
      }
    }
    if (result.ticks.size() == prefaulted && result.ticks.size() < result.ticks.capacity()) {
      // Steps that double up to a bound: a small file maps little more than it fills.
      const std::size_t step = std::clamp<std::size_t>(prefaulted, 64, kPrefaultRows);
      const std::size_t next = std::min(result.ticks.capacity(), prefaulted + step);
      prefault(result.ticks.data() + prefaulted, (next - prefaulted) * sizeof(Depth));
      prefaulted = next;
    }
    // Cells are parsed in place, straight into the record.
    if (line.back() == '\r') line.remove_suffix(1);
    Depth& d = result.ticks.emplace_back(blank);
    std::string_view id;
    std::string_view exchange;
    std::size_t count = 0;
    for (const char *p = line.data(), *end = p + line.size();; ++count) {
      const Column* column = count < layout.size() ? layout[count] : nullptr;
      const bool named = static_cast<int>(count) == instrumentColumn || static_cast<int>(count) == exchangeColumn;
      const char* stop = column != nullptr && !named ? storeCommon(d, *column, p, end) : nullptr;
      if (stop == nullptr) {
        const void* comma = std::memchr(p, ',', static_cast<std::size_t>(end - p));
        stop = comma != nullptr ? static_cast<const char*>(comma) : end;
        const std::string_view cell = trimCell(std::string_view(p, static_cast<std::size_t>(stop - p)));
        const Cell read = column != nullptr ? store(d, *column, cell) : Cell::kStored;
        if (read == Cell::kBad) {
          error = where(column->name) + "bad value '" + std::string(cell.substr(0, 64)) + "'";
          return false;
        }
        if (read == Cell::kNoValue && !normaliser.noValuePrice(column->name, cell, refusal)) {
          error = where(refusal.field) + refusal.message;
          return false;
        }
        if (static_cast<int>(count) == instrumentColumn) id = cell;
        if (static_cast<int>(count) == exchangeColumn) exchange = cell;
      }
      if (stop == end) break;
      p = stop + 1;
    }
    ++count;
    if (count < layout.size()) {
      error = where(names[count].c_str()) + "missing (" + std::to_string(count) + " cells, the header has " +
              std::to_string(layout.size()) + ")";
      return false;
    }
    if (count > layout.size()) {
      error = where(nullptr) + std::to_string(count) + " cells, the header has " + std::to_string(layout.size());
      return false;
    }
    if (id.empty()) {
      error = where("InstrumentID") + "blank";
      return false;
    }
    auto found = indexOf.find(id);
    if (found == indexOf.end()) {
      const std::string* listed = exchangeOf ? exchangeOf(id) : nullptr;
      if (listed == nullptr) {
        error = where("InstrumentID") + "'" + std::string(id) + "' is not an instrument of this exchange";
        return false;
      }
      found = indexOf.emplace(std::string(id), result.instruments.size()).first;
      result.instruments.push_back(TickInstrument{std::string(id), *listed, 0, 0});
    }
    TickInstrument& instrument = result.instruments[found->second];
    if (exchange.empty()) {
      setText(d.ExchangeID, instrument.exchangeId);
    } else if (exchange != instrument.exchangeId) {
      error = where("ExchangeID") + "'" + std::string(exchange) + "', but " + instrument.instrumentId + " trades on " +
              instrument.exchangeId;
      return false;
    }
    long long ofDay = -1;
    if (hasTime) {
      ofDay = dayMillis(std::string_view(d.UpdateTime, strnlen(d.UpdateTime, sizeof(d.UpdateTime))), d.UpdateMillisec);
      if (ofDay < 0) {
        error = where("UpdateTime") + "bad time '" + getText(d.UpdateTime) + "." + std::to_string(d.UpdateMillisec) + "'";
        return false;
      }
    }
    const TickNormaliser::Verdict verdict = normaliser.admit(d, found->second, ofDay, refusal);
    if (verdict == TickNormaliser::Verdict::kRefuse) {
      error = where(refusal.field) + refusal.message;
      return false;
    }
    if (verdict == TickNormaliser::Verdict::kSkip) {
      result.ticks.pop_back();
      continue;
    }
    if (instrument.ticks++ == 0) instrument.firstRow = result.ticks.size() - 1;
    {
      const std::string_view day(d.TradingDay, strnlen(d.TradingDay, sizeof(d.TradingDay)));
      std::vector<std::string>& days = result.tradingDays;
      if ((days.empty() || days.back() != day) && std::find(days.begin(), days.end(), day) == days.end()) {
        days.emplace_back(day);
      }
    }
    long long at = -1;
    if (hasTime) {
      const std::string_view day(d.TradingDay, strnlen(d.TradingDay, sizeof(d.TradingDay)));
      // The file's clock: times of day run on past midnight and into later days.
      if (lastOfDay >= 0 && (ofDay < lastOfDay - kDayMillis / 2 || (ofDay < lastOfDay && day != fileDay))) {
        offset += kDayMillis;
      }
      lastOfDay = ofDay;
      if (day != fileDay) fileDay = std::string(day);
      at = std::max(running, ofDay + offset);
      running = at;
    }
    result.millis.push_back(at);
  }
  if (reader.tooLong()) {
    ++lineNumber;
    error = where(nullptr) + "line longer than " + std::to_string(kMaxTickLine) + " bytes";
    return false;
  }
  if (std::ferror(file.get())) {
    error = "cannot read tick file " + path;
    return false;
  }
  result.normalised = normaliser.counts();
  out = std::move(result);
  return true;
}

}  // namespace qvsim

// Field printers behind CQVPrintHelper: the value text of each field type and the two ways of
// collecting them, one line of text (TextPrinter) or a map of name to value (MapPrinter). The
// generated printers call one operation per field, in declaration order.
//
// Value texts: a text is its bytes up to the first NUL, at most its width; a character is itself,
// or empty for 0; bools and integers are signed decimal; a double at or above the largest finite
// double (after adding 0.000001; this takes in infinity and NaN) is "1.79e+308", any other double
// is fixed-point with exactly `precision` decimals, independent of the C locale. A negative
// precision counts as 0, one above 1074 as 1074 (a double's exact expansion never needs more).
//
// A printer lives on the caller's stack for one record and is used by one thread; it writes only
// into the string or map it was given, which the caller owns.
#ifndef QV_RECORDS_FIELD_PRINTER_H
#define QV_RECORDS_FIELD_PRINTER_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

// The text printed for a double that stands for "no value" (the largest finite double or beyond).
inline constexpr std::string_view kNoValueText = "1.79e+308";

// Appends the value text of `value` with `precision` decimals to `out`.
void appendDouble(std::string& out, double value, int precision);

// Appends the decimal text of `value` to `out`.
inline void appendInteger(std::string& out, int64_t value) {
  char digits[24];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<size_t>(result.ptr - digits));
}

// A bool read as its stored byte, so a record holding a byte other than 0 or 1 prints that byte
// instead of invoking undefined behaviour.
inline int boolByte(const bool& value) {
  unsigned char byte;
  std::memcpy(&byte, &value, 1);
  return byte;
}

// Builds "Name:value<separator>Name:value..." into a caller-owned string, which it clears first.
// Texts and characters are quoted; names are optional.
class TextPrinter {
 public:
  // REQUIRES: `out` and `separator` outlive the printer.
  TextPrinter(std::string& out, bool withNames, const std::string& separator, int precision)
      : out_(out), separator_(separator), precision_(precision), withNames_(withNames) {
    out_.clear();
  }

  template <size_t N>
  void text(std::string_view name, const char (&value)[N]) {
    begin(name);
    const void* end = std::memchr(value, '\0', N);
    const size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - value) : N;
    out_.push_back('"');
    out_.append(value, length);
    out_.push_back('"');
  }

  void character(std::string_view name, char value) {
    begin(name);
    out_.push_back('"');
    if (value != '\0') out_.push_back(value);
    out_.push_back('"');
  }

  void boolean(std::string_view name, const bool& value) {
    begin(name);
    appendInteger(out_, boolByte(value));
  }

  void integer(std::string_view name, int64_t value) {
    begin(name);
    appendInteger(out_, value);
  }

  void real(std::string_view name, double value) {
    begin(name);
    appendDouble(out_, value, precision_);
  }

 private:
  void begin(std::string_view name) {
    if (!first_) out_.append(separator_);
    first_ = false;
    if (withNames_) {
      out_.append(name);
      out_.push_back(':');
    }
  }

  std::string& out_;
  const std::string& separator_;
  int precision_;
  bool withNames_;
  bool first_ = true;
};

// Inserts (name, value text) per field into a caller-owned map. A name already present keeps its
// value; nothing is removed.
class MapPrinter {
 public:
  using Map = std::unordered_map<std::string, std::string>;

  // REQUIRES: `out` outlives the printer.
  MapPrinter(Map& out, int precision) : out_(out), precision_(precision) {}

  template <size_t N>
  void text(std::string_view name, const char (&value)[N]) {
    const void* end = std::memchr(value, '\0', N);
    const size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - value) : N;
    out_.try_emplace(std::string(name), value, length);
  }

  void character(std::string_view name, char value) {
    out_.try_emplace(std::string(name), value != '\0' ? size_t{1} : size_t{0}, value);
  }

  void boolean(std::string_view name, const bool& value) { integer(name, boolByte(value)); }

  void integer(std::string_view name, int64_t value) {
    std::string text;
    appendInteger(text, value);
    out_.try_emplace(std::string(name), std::move(text));
  }

  void real(std::string_view name, double value) {
    std::string text;
    appendDouble(text, value, precision_);
    out_.try_emplace(std::string(name), std::move(text));
  }

 private:
  Map& out_;
  int precision_;
};

}  // namespace qv

#endif  // QV_RECORDS_FIELD_PRINTER_H

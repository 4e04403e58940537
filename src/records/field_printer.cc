// Double formatting for the record printers.
#include "records/field_printer.h"

#include <cfloat>

namespace qv {

namespace {

// Widest fixed-point text of a finite double below DBL_MAX without decimals: sign and 309 digits.
constexpr int kIntegerDigits = 311;
// Precisions up to this are formatted on the stack; larger ones directly in the output string.
constexpr int kStackPrecision = 64;
// Every double is a multiple of 2^-1074, so its exact decimal expansion ends within 1074 places:
// more decimals than that only append zeros, and a precision near INT_MAX would ask for gigabytes.
constexpr int kMaxPrecision = 1074;

}  // namespace

void appendDouble(std::string& out, double value, int precision) {
  // Written as "not less than" so that NaN, for which every comparison is false, takes this branch.
  if (!(value + 0.000001 < DBL_MAX)) {
    out.append(kNoValueText);
    return;
  }
  if (precision < 0) precision = 0;
  if (precision > kMaxPrecision) precision = kMaxPrecision;
  if (precision <= kStackPrecision) {
    char digits[kIntegerDigits + 1 + kStackPrecision];
    const std::to_chars_result result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    out.append(digits, static_cast<size_t>(result.ptr - digits));
    return;
  }
  const size_t start = out.size();
  out.resize(start + kIntegerDigits + 1 + static_cast<size_t>(precision));
  const std::to_chars_result result =
      std::to_chars(out.data() + start, out.data() + out.size(), value, std::chars_format::fixed, precision);
  out.resize(static_cast<size_t>(result.ptr - out.data()));
}

}  // namespace qv

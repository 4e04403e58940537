// Any bytes as any of the printed records, with any precision, names flag and separator: every
// printer of CQVPrintHelper returns a bounded text and a map, never faults or allocates without
// bound (a precision near INT_MAX once asked for gigabytes).
//
// Input: one byte picks the record type, four bytes the precision (any int), one byte the names
// flag and the separator's length (low 4 bits), then the separator, then the record's bytes
// (zero-filled when short).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>

#include "records/print_helper.h"
#include "records/record_fields.h"

namespace {

// The longest text a record may print: every field's widest value (a double with the largest
// precision, 1074 decimals, plus 311 digits) and a separator, for a generous field count.
constexpr size_t kMaxText = 200 * (1074 + 320 + 16);

template <class R>
void print(const uint8_t* data, size_t size, int precision, bool withNames, const std::string& separator) {
  R record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(&record, data, size < sizeof record ? size : sizeof record);
  const char* text = CQVPrintHelper::toText(&record, withNames, separator, precision);
  if (text == nullptr || std::strlen(text) > kMaxText) __builtin_trap();
  std::unordered_map<std::string, std::string> map;
  CQVPrintHelper::toMap(map, &record, precision);
  CQVPrintHelper::toMap(map, &record, precision);  // present keys keep their values
}

using Printer = void (*)(const uint8_t*, size_t, int, bool, const std::string&);

#define QV_PRINTER(R) &print<R>,
constexpr Printer kPrinters[] = {QV_FOR_EACH_PRINTED_RECORD(QV_PRINTER)};
#undef QV_PRINTER

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const Printer printer = kPrinters[data[0] % (sizeof kPrinters / sizeof kPrinters[0])];
  int32_t precision;
  std::memcpy(&precision, data + 1, sizeof precision);
  const bool withNames = (data[5] & 0x80) != 0;
  const size_t separatorLength = data[5] & 0x0f;
  data += 6;
  size -= 6;
  const size_t taken = separatorLength < size ? separatorLength : size;
  const std::string separator(reinterpret_cast<const char*>(data), taken);
  printer(data + taken, size - taken, precision, withNames, separator);
  return 0;
}

#include "trading/instrument_key.h"

#include <cstring>

namespace qv {

void makeInstrumentKey(char* out, size_t size, const char* instrumentId, const char* exchangeId) {
  if (size == 0) return;
  size_t used = 0;
  auto append = [&](const char* text) {
    if (text == nullptr) return;
    size_t n = strnlen(text, size - 1 - used);
    std::memcpy(out + used, text, n);
    used += n;
  };
  append(instrumentId);
  append(".");
  append(exchangeId);
  out[used] = '\0';
}

std::string instrumentKey(const char* instrumentId, const char* exchangeId) {
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, instrumentId, exchangeId);
  return key;
}

}  // namespace qv

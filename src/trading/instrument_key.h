// instrumentKey: the text that names an instrument everywhere in the runtime, the instrument code,
// a dot and the exchange id ("rb2501.SHFE"), or the code and a dot when no exchange is known
// ("rb2501."). It keys the instrument table, a client's positions and the snapshot map.
// Pure functions; safe on any thread.
#ifndef QV_TRADING_INSTRUMENT_KEY_H
#define QV_TRADING_INSTRUMENT_KEY_H

#include <cstddef>
#include <string>

namespace qv {

// Room for the longest key a record can name: an 80-character code, a dot, an 8-character exchange
// id and the terminator. Longer host texts are cut to fit.
inline constexpr size_t kInstrumentKeySize = 96;

// Writes the key of (instrumentId, exchangeId) into `out` (bounded, always terminated). A null or
// empty exchange id gives the code-and-dot form; a null code counts as empty.
void makeInstrumentKey(char* out, size_t size, const char* instrumentId, const char* exchangeId);

template <size_t N>
inline void makeInstrumentKey(char (&out)[N], const char* instrumentId, const char* exchangeId) {
  makeInstrumentKey(out, N, instrumentId, exchangeId);
}

std::string instrumentKey(const char* instrumentId, const char* exchangeId);

}  // namespace qv

#endif  // QV_TRADING_INSTRUMENT_KEY_H

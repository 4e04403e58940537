// Bounded text copies into the fixed character arrays of records. A copy never writes past the
// destination: a source that does not fit is cut and the destination always ends in a NUL.
// A null source gives an empty text. Safe on any thread; touches only its arguments.
#ifndef QV_BASE_TEXT_H
#define QV_BASE_TEXT_H

#include <cstddef>
#include <cstring>

namespace qv {

// Copies at most size - 1 bytes of `src` and a terminating NUL into `dst`; returns `dst`.
inline char* copyText(char* dst, size_t size, const char* src) {
  if (size == 0) return dst;
  size_t n = 0;
  if (src != nullptr) {
    n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
  }
  dst[n] = '\0';
  return dst;
}

template <size_t N>
inline char* copyText(char (&dst)[N], const char* src) {
  return copyText(dst, N, src);
}

// Length of a fixed-width text that may fill its whole array without a terminator.
template <size_t N>
inline size_t textLength(const char (&text)[N]) {
  const void* end = std::memchr(text, '\0', N);
  return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) : N;
}

}  // namespace qv

#endif  // QV_BASE_TEXT_H

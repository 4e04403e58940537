// Bounded text helpers for the fixed char arrays of the CTP records.
// Stateless; any thread. Copies truncate and always leave a terminator; reads stop at the array's
// end when a record carries no terminator (records arrive from callers we do not trust).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace qvsim {

template <std::size_t N>
void setText(char (&dst)[N], std::string_view src) {
  static_assert(N > 0);
  const std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
  std::memcpy(dst, src.data(), n);
  std::memset(dst + n, 0, N - n);
}

template <std::size_t N>
std::string getText(const char (&src)[N]) {
  return std::string(src, strnlen(src, N));
}

// The text of a field without copying it (up to its terminator or the array's end).
template <std::size_t N>
std::string_view textView(const char (&src)[N]) {
  return std::string_view(src, strnlen(src, N));
}

// Copies a caller's record, or zeroes it when the caller passed null.
template <class T>
T copyRecord(const T* src) {
  T out;
  if (src != nullptr) {
    std::memcpy(&out, src, sizeof(T));
  } else {
    std::memset(&out, 0, sizeof(T));
  }
  return out;
}

template <class T>
T zeroRecord() {
  T out;
  std::memset(&out, 0, sizeof(T));
  return out;
}

}  // namespace qvsim

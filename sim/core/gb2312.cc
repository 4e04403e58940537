#include "core/gb2312.h"

#include <iconv.h>

#include <cerrno>

namespace qvsim {

std::string toGb2312(std::string_view utf8) {
  iconv_t cd = iconv_open("GB2312", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return std::string(utf8);
  }
  std::string out;
  out.reserve(utf8.size());
  std::string in(utf8);
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof(buffer);
    const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, sizeof(buffer) - outLeft);
    if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // An unmappable or malformed sequence: skip one UTF-8 character and mark it.
      out.push_back('?');
      do {
        ++inPtr;
        --inLeft;
      } while (inLeft > 0 && (static_cast<unsigned char>(*inPtr) & 0xC0) == 0x80);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace qvsim

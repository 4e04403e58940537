#include "core/text/gb2312.h"

#include <iconv.h>

#include <cerrno>

namespace qvsim {

namespace {

// One converter per thread, opened at the thread's first text and closed when the thread ends: a
// converter keeps shift state between calls, so threads cannot share one.
class Converter {
 public:
  Converter() : cd_(iconv_open("GB2312", "UTF-8")) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::string toGb2312(std::string_view utf8) {
  thread_local Converter converter;
  if (!converter.ok()) return std::string(utf8);
  iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  std::string out;
  out.reserve(utf8.size());
  std::string in(utf8);
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof(buffer);
    const std::size_t rc = iconv(converter.get(), &inPtr, &inLeft, &outPtr, &outLeft);
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
  return out;
}

}  // namespace qvsim

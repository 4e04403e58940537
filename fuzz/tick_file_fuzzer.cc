// Any bytes as a tick file: the reader either fills its records or reports a message naming the
// file, never faults, reads past a line or grows without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/tick_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader takes a path: the input becomes an in-memory file.
  static const int fd = memfd_create("ticks", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  std::vector<CThostFtdcDepthMarketDataField> ticks;
  std::string error;
  if (qvsim::readTickFile("/proc/self/fd/" + std::to_string(fd), ticks, error)) {
    for (const CThostFtdcDepthMarketDataField& tick : ticks) qvsim::tickMillis(tick);
  } else if (error.empty()) {
    __builtin_trap();  // a refusal must say why
  }
  return 0;
}

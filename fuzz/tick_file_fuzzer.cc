// Any bytes as a tick file: the reader either loads its snapshots, every one named and timed, or
// refuses the file with a message, never faults, reads a line beyond its bound or grows without
// bound. A file the strict reader takes loads without it to as many snapshots at the same times,
// nothing normalised. The exchange it checks against lists every code: those starting with 'm' on
// DCE, with 'z' nowhere, the rest on SHFE, so known, unknown and wrong-exchange rows all occur.
// Read by the shipped trading hours and calendar too, it corrects days and leaves snapshots out
// without faulting, each kept one named and timed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/replay/tick_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kShfe = "SHFE";
  static const std::string kDce = "DCE";
  // The reader takes a path: the input becomes an in-memory file.
  static const int fd = memfd_create("ticks", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  const qvsim::ExchangeLookup exchangeOf = [](std::string_view id) -> const std::string* {
    if (id.empty() || id[0] == 'z') return nullptr;
    return id[0] == 'm' ? &kDce : &kShfe;
  };
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  qvsim::TickFile file;
  std::string error;
  if (qvsim::readTickFile(path, exchangeOf, qvsim::TickReadOptions{}, file, error)) {
    if (file.millis.size() != file.ticks.size()) __builtin_trap();
    for (const CThostFtdcDepthMarketDataField& tick : file.ticks) {
      if (tick.InstrumentID[0] == '\0') __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();  // a refusal must say why
  }
  qvsim::TickFile strict;
  std::string strictError;
  if (qvsim::readTickFile(path, exchangeOf, qvsim::TickReadOptions{true}, strict, strictError)) {
    if (!error.empty() || file.normalised.any() || strict.millis != file.millis) __builtin_trap();
  } else if (strictError.empty()) {
    __builtin_trap();
  }
  static const qvsim::TradingHours hours = qvsim::TradingHours::shipped();
  static const qvsim::Calendar calendar = qvsim::Calendar::shipped();
  qvsim::TickReadOptions bySessions;
  bySessions.hours = &hours;
  bySessions.calendar = &calendar;
  qvsim::TickFile market;
  std::string marketError;
  if (qvsim::readTickFile(path, exchangeOf, bySessions, market, marketError)) {
    if (market.millis.size() != market.ticks.size()) __builtin_trap();
  } else if (marketError.empty()) {
    __builtin_trap();
  }
  return 0;
}

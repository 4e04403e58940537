// Match: one thing the matching found for a working order (core/exchange/matching.cc), a fill of
// `volume` at `price` or the end of its remainder. The matching only finds matches; the broker
// books them (core/broker/fills.cc) in the order they were found, which is the order of the
// reports. Plain values; made and booked under the world lock.
#pragma once

#include <cstddef>

namespace qvsim {

struct Match {
  std::size_t order = 0;  // the order's number in the exchange's day
  bool cancel = false;    // the remainder ends (IOC, FOK, minimum volume, market orders)
  double price = 0.0;
  int volume = 0;
};

}  // namespace qvsim

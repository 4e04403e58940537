// MarketView: the market the exchange last saw of one instrument (a generated, pushed or replayed
// snapshot) and how much of each displayed level orders have taken from it since. A new snapshot
// shows the book afresh. Owned by the exchange (core/exchange/exchange.h); used only under the world lock.
#pragma once

#include <utility>
#include <vector>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

struct MarketView {
  static constexpr int kLevels = 5;

  CThostFtdcDepthMarketDataField depth{};
  bool known = false;
  int taken[2][kLevels] = {};  // [0] bids, [1] asks, by level

  void see(const CThostFtdcDepthMarketDataField& snapshot);

  // What an order on side `buy` with limit `limit` takes from the displayed levels opposite it, in
  // price order up to its limit, each at its own price and up to its volume not yet taken, `volume`
  // at most: (price, volume) pairs, now marked taken.
  std::vector<std::pair<double, int>> take(bool buy, double limit, int volume);
  // The volume such an order could take now.
  long long available(bool buy, double limit) const;
  // The displayed volume at `price` on the bid or ask side, or 0.
  long long displayedAt(bool bidSide, double price) const;

  double price(bool bidSide, int level) const;
  int volume(bool bidSide, int level) const;
};

}  // namespace qvsim

// PriceBook: the working orders of one instrument that rest on the simulated exchange, by side and
// price, earliest first at each price. An order is known by its id (its number in the exchange's day, which
// also orders the orders in time) and carries its owner (an investor never trades with itself), its
// limit price and the volume it still works. The matching core: it finds what crosses, the caller
// books the fills and reports what shrank or left (reduce, remove).
// Owned by the exchange (core/exchange/exchange.h); used only under the world lock.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

namespace qvsim {

class PriceBook {
 public:
  struct Resting {
    std::size_t id = 0;
    int owner = 0;
    double price = 0.0;
    int volume = 0;
  };

  // REQUIRES: id is not in the book; volume > 0.
  void add(std::size_t id, bool buy, int owner, double price, int volume);
  // The order's working volume goes down by `volume`; at zero it leaves the book. Unknown ids are
  // ignored (the order did not rest).
  void reduce(std::size_t id, int volume);
  void remove(std::size_t id);
  bool contains(std::size_t id) const { return where_.count(id) != 0; }
  std::size_t size() const { return where_.size(); }

  // The resting orders that an order of `owner` on side `buy` with limit `limit` trades with: other
  // owners' orders on the opposite side whose price crosses the limit, best price first, then the
  // earliest; enough of them to cover `volume` (the last may hold more than what is left).
  std::vector<Resting> crossing(bool buy, double limit, int owner, long long volume) const;

  // The ids of the resting buys priced at `buyFloor` or above and of the sells priced at
  // `sellCeiling` or below (a side is skipped when its bound is null), in time order.
  std::vector<std::size_t> reachable(const double* buyFloor, const double* sellCeiling) const;

 private:
  // A side's levels keyed so that the best price comes first: -price for buys, price for sells.
  using Level = std::list<Resting>;
  using Side = std::map<double, Level>;
  struct Place {
    bool buy;
    Side::iterator level;
    Level::iterator order;
  };

  Side& side(bool buy) { return buy ? bids_ : asks_; }
  const Side& side(bool buy) const { return buy ? bids_ : asks_; }

  Side bids_;
  Side asks_;
  std::unordered_map<std::size_t, Place> where_;
};

// Whether a buy at `buyPrice` and a sell at `sellPrice` trade (prices closer than the exchange's
// epsilon are equal).
bool crosses(double buyPrice, double sellPrice);

}  // namespace qvsim

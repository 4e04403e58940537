#include "core/exchange/price_book.h"

#include <algorithm>
#include <cassert>

#include "core/exchange/exchange_rules.h"

namespace qvsim {

bool crosses(double buyPrice, double sellPrice) { return buyPrice + kPriceEpsilon >= sellPrice; }

void PriceBook::add(std::size_t id, bool buy, int owner, double price, int volume) {
  assert(volume > 0 && where_.count(id) == 0);
  Side& s = side(buy);
  auto level = s.try_emplace(buy ? -price : price).first;
  level->second.push_back(Resting{id, owner, price, volume});
  where_.emplace(id, Place{buy, level, std::prev(level->second.end())});
}

void PriceBook::reduce(std::size_t id, int volume) {
  auto it = where_.find(id);
  if (it == where_.end()) return;
  it->second.order->volume -= volume;
  if (it->second.order->volume <= 0) remove(id);
}

void PriceBook::remove(std::size_t id) {
  auto it = where_.find(id);
  if (it == where_.end()) return;
  const Place place = it->second;
  where_.erase(it);
  place.level->second.erase(place.order);
  if (place.level->second.empty()) side(place.buy).erase(place.level);
}

std::vector<PriceBook::Resting> PriceBook::crossing(bool buy, double limit, int owner, long long volume) const {
  std::vector<Resting> out;
  long long covered = 0;
  for (const auto& [key, level] : side(!buy)) {
    const double price = level.front().price;
    if (!(buy ? crosses(limit, price) : crosses(price, limit))) break;
    for (const Resting& r : level) {
      if (r.owner == owner) continue;
      out.push_back(r);
      covered += r.volume;
      if (covered >= volume) return out;
    }
  }
  return out;
}

std::vector<std::size_t> PriceBook::reachable(const double* buyFloor, const double* sellCeiling) const {
  std::vector<std::size_t> out;
  if (buyFloor != nullptr) {
    for (const auto& [key, level] : bids_) {
      if (-key < *buyFloor) break;
      for (const Resting& r : level) out.push_back(r.id);
    }
  }
  if (sellCeiling != nullptr) {
    for (const auto& [key, level] : asks_) {
      if (key > *sellCeiling) break;
      for (const Resting& r : level) out.push_back(r.id);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace qvsim

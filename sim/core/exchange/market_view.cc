#include "core/exchange/market_view.h"

#include <algorithm>
#include <cmath>

#include "core/exchange/exchange_rules.h"
#include "core/exchange/price_book.h"

namespace qvsim {

namespace {

bool validPrice(double price) { return price > 0.0 && price < 1e300; }

}  // namespace

void MarketView::see(const CThostFtdcDepthMarketDataField& snapshot) {
  depth = snapshot;
  known = true;
  std::fill(&taken[0][0], &taken[0][0] + 2 * kLevels, 0);
}

double MarketView::price(bool bidSide, int level) const {
  const double bids[kLevels] = {depth.BidPrice1, depth.BidPrice2, depth.BidPrice3, depth.BidPrice4, depth.BidPrice5};
  const double asks[kLevels] = {depth.AskPrice1, depth.AskPrice2, depth.AskPrice3, depth.AskPrice4, depth.AskPrice5};
  return bidSide ? bids[level] : asks[level];
}

int MarketView::volume(bool bidSide, int level) const {
  const int bids[kLevels] = {depth.BidVolume1, depth.BidVolume2, depth.BidVolume3, depth.BidVolume4, depth.BidVolume5};
  const int asks[kLevels] = {depth.AskVolume1, depth.AskVolume2, depth.AskVolume3, depth.AskVolume4, depth.AskVolume5};
  return bidSide ? bids[level] : asks[level];
}

std::vector<std::pair<double, int>> MarketView::take(bool buy, double limit, int volume) {
  std::vector<std::pair<double, int>> out;
  if (!known) return out;
  const bool bidSide = !buy;
  int* levelTaken = taken[bidSide ? 0 : 1];
  // Levels come best first; the first empty or uncrossed one ends the walk.
  for (int level = 0; level < kLevels && volume > 0; ++level) {
    const double at = price(bidSide, level);
    if (!validPrice(at) || !(buy ? crosses(limit, at) : crosses(at, limit))) break;
    const int shown = this->volume(bidSide, level);
    if (shown <= levelTaken[level]) continue;
    const int part = std::min(volume, shown - levelTaken[level]);
    levelTaken[level] += part;
    volume -= part;
    out.emplace_back(at, part);
  }
  return out;
}

long long MarketView::available(bool buy, double limit) const {
  if (!known) return 0;
  const bool bidSide = !buy;
  const int* levelTaken = taken[bidSide ? 0 : 1];
  long long total = 0;
  for (int level = 0; level < kLevels; ++level) {
    const double at = price(bidSide, level);
    if (!validPrice(at) || !(buy ? crosses(limit, at) : crosses(at, limit))) break;
    total += std::max(0, volume(bidSide, level) - levelTaken[level]);
  }
  return total;
}

long long MarketView::displayedAt(bool bidSide, double at) const {
  for (int level = 0; level < kLevels; ++level) {
    const double p = price(bidSide, level);
    if (validPrice(p) && std::fabs(p - at) < kPriceEpsilon) return volume(bidSide, level);
  }
  return 0;
}

}  // namespace qvsim

// Matching on the simulated exchange (core/exchange/exchange.h), between the price books
// (core/exchange/price_book.h) and the market the exchange last saw (core/exchange/market_view.h).
// It finds the matches (core/exchange/match.h) and changes no order's volume; the broker books
// them, in the order found (core/broker/fills.cc).
//
// A new order first trades with other clients' resting orders on the opposite side (best price,
// then time; each fill at the resting order's price), then with the market's displayed levels in
// price order up to its limit (each at that level's price, up to the volume orders have not taken
// from this snapshot yet). What is left works at its limit, behind the displayed volume at its
// price. A later snapshot fills a resting order when its opposite best crosses the order's price
// (at the order's price, up to the displayed volume), when the last price traded through it, or
// when the volume traded at its price has used up the queue ahead of it.
// Called under the world lock, like every Exchange method.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/exchange/exchange.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

namespace {

bool validPrice(double price) { return price > 0.0 && price < 1e300; }

bool isBuy(const CThostFtdcOrderField& f) { return f.Direction == THOST_FTDC_D_Buy; }

// The price an order trades at most (buy) or least (sell): market orders take the price limit.
double orderPrice(const CThostFtdcOrderField& f, const InstrumentState& ins) {
  if (f.OrderPriceType == THOST_FTDC_OPT_AnyPrice) return isBuy(f) ? ins.upperLimit : ins.lowerLimit;
  return f.LimitPrice;
}

}  // namespace

bool Exchange::canTrade(const WorkingOrder& order, long long needed) {
  const auto& f = order.field;
  const std::string instrumentId = getText(f.InstrumentID);
  const double price = orderPrice(f, instruments_.at(instrumentId));
  long long volume = 0;
  auto book = books_.find(instrumentId);
  if (book != books_.end()) {
    for (const PriceBook::Resting& r : book->second.crossing(isBuy(f), price, order.party, needed)) {
      volume += r.volume;
    }
  }
  auto view = views_.find(instrumentId);
  if (volume < needed && view != views_.end()) volume += view->second.available(isBuy(f), price);
  return volume >= needed;
}

std::vector<Match> Exchange::matchNew(std::size_t index) {
  std::vector<Match> found;
  WorkingOrder& order = orders_[index];
  const auto& f = order.field;
  const std::string instrumentId = getText(f.InstrumentID);
  const InstrumentState& ins = instruments_.at(instrumentId);
  const double price = orderPrice(f, ins);
  const bool buy = isBuy(f);
  const bool market = f.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const bool immediate = market || f.TimeCondition == THOST_FTDC_TC_IOC;
  int remaining = f.VolumeTotal;

  // All or nothing, or at least a minimum: decided on what could trade right now.
  if (f.VolumeCondition == THOST_FTDC_VC_CV || f.VolumeCondition == THOST_FTDC_VC_MV) {
    const long long needed = f.VolumeCondition == THOST_FTDC_VC_CV ? f.VolumeTotal : std::max(1, f.MinVolume);
    if (!canTrade(order, needed)) {
      found.push_back(Match{index, true});
      return found;
    }
  }

  // Other clients' resting orders: best price first, then the earliest.
  auto book = books_.find(instrumentId);
  if (book != books_.end()) {
    for (const PriceBook::Resting& r : book->second.crossing(buy, price, order.party, f.VolumeTotal)) {
      if (remaining == 0) break;
      const WorkingOrder& resting = orders_[r.id];
      const int volume = std::min(remaining, resting.field.VolumeTotal);
      const double at = resting.field.LimitPrice;
      found.push_back(Match{r.id, false, at, volume});
      found.push_back(Match{index, false, at, volume});
      remaining -= volume;
    }
  }

  // The market's displayed levels, in price order up to the limit.
  auto view = views_.find(instrumentId);
  if (remaining > 0 && view != views_.end() && view->second.known) {
    MarketView& v = view->second;
    for (const auto& [at, volume] : v.take(buy, price, remaining)) {
      found.push_back(Match{index, false, at, volume});
      remaining -= volume;
    }
    if (remaining > 0) order.queueAhead = v.displayedAt(buy, price);
  }

  if (remaining > 0 && immediate) found.push_back(Match{index, true});
  return found;
}

std::vector<Match> Exchange::matchSnapshot(const CThostFtdcDepthMarketDataField& depth) {
  std::vector<Match> found;
  const std::string_view instrumentId = textView(depth.InstrumentID);
  auto seen = views_.find(instrumentId);
  if (seen == views_.end()) {
    if (instruments_.count(std::string(instrumentId)) == 0) return found;
    seen = views_.emplace(std::string(instrumentId), MarketView{}).first;
  }
  MarketView& v = seen->second;
  const double previousVolume = v.known ? v.depth.Volume : depth.Volume;
  v.see(depth);
  const long long tradedNow = std::max(0LL, static_cast<long long>(depth.Volume - previousVolume));
  const double last = depth.LastPrice;

  // Outside continuous trading only the opening auction trades; an order it fills waits for the
  // next snapshot to trade on.
  bool continuous = true;
  InstrumentState* ins = listed(instrumentId);
  if (ins != nullptr && auctionDue(*ins, continuous)) {
    matchAuction(std::string(instrumentId), depth, found);
    if (!found.empty()) return found;
  }
  if (!continuous) return found;

  // Only orders the snapshot can reach: buys from the lower of the best ask and the last traded
  // price up, sells from the higher of the best bid and the last price down (with room for the
  // exact tests below), taken in time order as the fills share the displayed volume.
  auto book = books_.find(instrumentId);
  if (book == books_.end()) return found;
  constexpr double kSlack = 2 * kPriceEpsilon;
  const bool traded = validPrice(last) && tradedNow > 0;
  double buyFloor = std::numeric_limits<double>::infinity();
  double sellCeiling = -std::numeric_limits<double>::infinity();
  if (validPrice(depth.AskPrice1)) buyFloor = depth.AskPrice1 - kSlack;
  if (validPrice(depth.BidPrice1)) sellCeiling = depth.BidPrice1 + kSlack;
  if (traded) {
    buyFloor = std::min(buyFloor, last - kSlack);
    sellCeiling = std::max(sellCeiling, last + kSlack);
  }
  const bool buys = validPrice(depth.AskPrice1) || traded;
  const bool sells = validPrice(depth.BidPrice1) || traded;
  const std::vector<std::size_t> reachable =
      book->second.reachable(buys ? &buyFloor : nullptr, sells ? &sellCeiling : nullptr);

  // Each reachable order is met once, so its working volume is still the one booked before.
  for (std::size_t i : reachable) {
    WorkingOrder& o = orders_[i];
    if (!o.working()) continue;
    const bool buy = isBuy(o.field);
    const double price = o.field.LimitPrice;
    const double opposite = buy ? depth.AskPrice1 : depth.BidPrice1;
    int& taken = v.taken[buy ? 1 : 0][0];
    const int shown = buy ? depth.AskVolume1 : depth.BidVolume1;
    if (traded && (buy ? last < price - kPriceEpsilon : last > price + kPriceEpsilon)) {
      // The market traded through the order's price: everything ahead of it and the order went,
      // whatever the book shows now.
      found.push_back(Match{i, false, price, o.field.VolumeTotal});
      continue;
    }
    if (validPrice(opposite) && (buy ? crosses(price, opposite) : crosses(opposite, price))) {
      if (shown > taken) {
        const int volume = std::min(o.field.VolumeTotal, shown - taken);
        taken += volume;
        found.push_back(Match{i, false, price, volume});
      }
      continue;
    }
    if (!traded) continue;
    if (std::fabs(last - price) < kPriceEpsilon) {
      o.queueAhead -= tradedNow;
      if (o.queueAhead < 0) {
        const int volume = static_cast<int>(std::min<long long>(o.field.VolumeTotal, -o.queueAhead));
        o.queueAhead = 0;
        found.push_back(Match{i, false, price, volume});
      }
    }
  }
  return found;
}

}  // namespace qvsim

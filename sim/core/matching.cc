// Matching and the accounting of fills: the exchange side of the simulated broker (core/broker.h).
//
// A new order first trades with other clients' resting orders on the opposite side (best price,
// then time; each fill at the resting order's price), then with the market's displayed best level
// (at that level's price, up to the volume orders have not taken from this snapshot yet). What is
// left rests, behind the displayed volume at its price. A later snapshot fills a resting order
// when its opposite best crosses the order's price (at the order's price, up to the displayed
// volume), when the last price traded through it, or when the volume traded at its price has used
// up the queue ahead of it.
// Called under the world lock, like every Broker method.
#include <algorithm>
#include <cmath>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker.h"
#include "core/fields.h"

namespace qvsim {

namespace {

constexpr double kEpsilon = 1e-6;

bool validPrice(double price) { return price > 0.0 && price < 1e300; }

bool isBuy(const CThostFtdcOrderField& f) { return f.Direction == THOST_FTDC_D_Buy; }

// Whether a buy at `buyPrice` and a sell at `sellPrice` trade.
bool crosses(double buyPrice, double sellPrice) { return buyPrice + kEpsilon >= sellPrice; }

// The displayed volume of the snapshot at `price` on one side, or 0.
long long displayedAt(const CThostFtdcDepthMarketDataField& d, bool bidSide, double price) {
  const double prices[2][5] = {{d.BidPrice1, d.BidPrice2, d.BidPrice3, d.BidPrice4, d.BidPrice5},
                               {d.AskPrice1, d.AskPrice2, d.AskPrice3, d.AskPrice4, d.AskPrice5}};
  const int volumes[2][5] = {{d.BidVolume1, d.BidVolume2, d.BidVolume3, d.BidVolume4, d.BidVolume5},
                             {d.AskVolume1, d.AskVolume2, d.AskVolume3, d.AskVolume4, d.AskVolume5}};
  const int side = bidSide ? 0 : 1;
  for (int level = 0; level < 5; ++level) {
    if (validPrice(prices[side][level]) && std::fabs(prices[side][level] - price) < kEpsilon) {
      return volumes[side][level];
    }
  }
  return 0;
}

}  // namespace

// The price an order trades at most (buy) or least (sell): market orders take the price limit.
static double orderPrice(const CThostFtdcOrderField& f, const InstrumentState& ins) {
  if (f.OrderPriceType == THOST_FTDC_OPT_AnyPrice) return isBuy(f) ? ins.upperLimit : ins.lowerLimit;
  return f.LimitPrice;
}

long long Broker::crossableVolume(const OrderEntry& entry) const {
  const auto& f = entry.field;
  const std::string instrumentId = getText(f.InstrumentID);
  const std::string investor = getText(f.InvestorID);
  const double price = orderPrice(f, instruments_.at(instrumentId));
  long long volume = 0;
  const auto indexes = working_.find(instrumentId);
  for (std::size_t i : indexes != working_.end() ? indexes->second : std::vector<std::size_t>{}) {
    const OrderEntry& o = orders_[i];
    if (&o == &entry || !o.working() || isBuy(o.field) == isBuy(f) || getText(o.field.InstrumentID) != instrumentId ||
        getText(o.field.InvestorID) == investor) {
      continue;
    }
    if (isBuy(f) ? crosses(price, o.field.LimitPrice) : crosses(o.field.LimitPrice, price)) volume += o.field.VolumeTotal;
  }
  auto view = views_.find(instrumentId);
  if (view != views_.end() && view->second.known) {
    const auto& d = view->second.depth;
    if (isBuy(f) && validPrice(d.AskPrice1) && crosses(price, d.AskPrice1)) {
      volume += std::max(0, d.AskVolume1 - view->second.askTaken);
    } else if (!isBuy(f) && validPrice(d.BidPrice1) && crosses(d.BidPrice1, price)) {
      volume += std::max(0, d.BidVolume1 - view->second.bidTaken);
    }
  }
  return volume;
}

void Broker::matchNew(std::size_t index, std::vector<Report>& out) {
  OrderEntry& entry = orders_[index];
  const auto& f = entry.field;
  const std::string instrumentId = getText(f.InstrumentID);
  const std::string investor = getText(f.InvestorID);
  const InstrumentState& ins = instruments_.at(instrumentId);
  const double price = orderPrice(f, ins);
  const bool buy = isBuy(f);
  const bool market = f.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const bool immediate = market || f.TimeCondition == THOST_FTDC_TC_IOC;

  // All or nothing, or at least a minimum: decided on what could trade right now.
  if (f.VolumeCondition == THOST_FTDC_VC_CV || f.VolumeCondition == THOST_FTDC_VC_MV) {
    const long long needed = f.VolumeCondition == THOST_FTDC_VC_CV ? f.VolumeTotal : std::max(1, f.MinVolume);
    if (crossableVolume(entry) < needed) {
      cancelRemainder(entry, "已撤单", out);
      return;
    }
  }

  // Other clients' resting orders: best price first, then the earliest.
  const std::vector<std::size_t> resting = working_[instrumentId];
  while (entry.field.VolumeTotal > 0) {
    OrderEntry* best = nullptr;
    for (std::size_t i : resting) {
      OrderEntry& o = orders_[i];
      if (&o == &entry || !o.working() || isBuy(o.field) == buy || getText(o.field.InstrumentID) != instrumentId ||
          getText(o.field.InvestorID) == investor) {
        continue;
      }
      if (!(buy ? crosses(price, o.field.LimitPrice) : crosses(o.field.LimitPrice, price))) continue;
      if (best == nullptr || (buy ? o.field.LimitPrice < best->field.LimitPrice - kEpsilon
                                  : o.field.LimitPrice > best->field.LimitPrice + kEpsilon)) {
        best = &o;
      }
    }
    if (best == nullptr) break;
    const int volume = std::min(entry.field.VolumeTotal, best->field.VolumeTotal);
    const double at = best->field.LimitPrice;
    fill(*best, at, volume, out);
    fill(entry, at, volume, out);
  }

  // The market's displayed best level.
  auto view = views_.find(instrumentId);
  if (entry.field.VolumeTotal > 0 && view != views_.end() && view->second.known) {
    MarketView& v = view->second;
    const auto& d = v.depth;
    const double best = buy ? d.AskPrice1 : d.BidPrice1;
    int& taken = buy ? v.askTaken : v.bidTaken;
    const int shown = buy ? d.AskVolume1 : d.BidVolume1;
    if (validPrice(best) && (buy ? crosses(price, best) : crosses(best, price)) && shown > taken) {
      const int volume = std::min(entry.field.VolumeTotal, shown - taken);
      taken += volume;
      fill(entry, best, volume, out);
    }
    if (entry.field.VolumeTotal > 0) entry.queueAhead = displayedAt(d, buy, price);
  }

  if (entry.field.VolumeTotal > 0 && immediate) cancelRemainder(entry, "已撤单", out);
  compactWorking(instrumentId);
}

std::vector<Report> Broker::onSnapshot(const CThostFtdcDepthMarketDataField& depth) {
  std::vector<Report> out;
  const std::string instrumentId = getText(depth.InstrumentID);
  auto insIt = instruments_.find(instrumentId);
  if (insIt == instruments_.end()) return out;
  MarketView& v = views_[instrumentId];
  const double previousVolume = v.known ? v.depth.Volume : depth.Volume;
  v.depth = depth;
  v.known = true;
  v.bidTaken = v.askTaken = 0;
  const long long tradedNow = std::max(0LL, static_cast<long long>(depth.Volume - previousVolume));
  const double last = depth.LastPrice;

  const std::vector<std::size_t> resting = working_[instrumentId];
  for (std::size_t i : resting) {
    OrderEntry& o = orders_[i];
    if (!o.working()) continue;
    const bool buy = isBuy(o.field);
    const double price = o.field.LimitPrice;
    const double opposite = buy ? depth.AskPrice1 : depth.BidPrice1;
    int& taken = buy ? v.askTaken : v.bidTaken;
    const int shown = buy ? depth.AskVolume1 : depth.BidVolume1;
    if (validPrice(opposite) && (buy ? crosses(price, opposite) : crosses(opposite, price))) {
      if (shown > taken) {
        const int volume = std::min(o.field.VolumeTotal, shown - taken);
        taken += volume;
        fill(o, price, volume, out);
      }
      continue;
    }
    if (!validPrice(last) || tradedNow == 0) continue;
    if (buy ? last < price - kEpsilon : last > price + kEpsilon) {
      // The market traded through the order's price: everything ahead of it and the order went.
      fill(o, price, o.field.VolumeTotal, out);
    } else if (std::fabs(last - price) < kEpsilon) {
      o.queueAhead -= tradedNow;
      if (o.queueAhead < 0) {
        const int volume = static_cast<int>(std::min<long long>(o.field.VolumeTotal, -o.queueAhead));
        o.queueAhead = 0;
        fill(o, price, volume, out);
      }
    }
  }
  compactWorking(instrumentId);
  persist(out);
  return out;
}

}  // namespace qvsim

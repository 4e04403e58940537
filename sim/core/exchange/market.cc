#include "core/exchange/market.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "core/exchange/exchange_clock.h"
#include "core/text/fields.h"

namespace qvsim {

namespace {

constexpr int kLevels = 5;
constexpr int kMaxCatchUpSteps = 8;

std::uint64_t hashText(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// The exchange's time: China's clock, or the replayed market's during a replay.
void stampTime(CThostFtdcDepthMarketDataField& d) {
  const ExchangeTime now = exchangeNow();
  formatTime(now.millis, d.UpdateTime);
  d.UpdateMillisec = now.millis % 1000;
  formatDate(now.date, d.ActionDay);
}

}  // namespace

std::uint64_t Market::nextRandom(std::uint64_t& state) {
  // splitmix64: small, fast and identical on every platform, so a seed replays the same prices.
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void Market::load(const std::map<std::string, InstrumentState>& instruments, const std::string& tradingDay,
                  std::uint64_t seed) {
  books_.clear();
  index_.clear();
  earliestDue_ = 0;
  for (const auto& [id, ins] : instruments) {
    const auto entry = books_.try_emplace(id).first;
    Book& b = entry->second;
    index_.emplace(entry->first, &b);
    b.instrument = &ins;
    b.rng = seed ^ hashText(id);
    b.priceTicks = std::llround(ins.def.preSettlementPrice / ins.def.priceTick);
    auto& d = b.depth;
    d = zeroRecord<CThostFtdcDepthMarketDataField>();
    setText(d.TradingDay, tradingDay);
    setText(d.InstrumentID, id);
    setText(d.ExchangeID, ins.def.exchangeId);
    setText(d.ExchangeInstID, id);
    const double pre = ins.def.preSettlementPrice;
    d.LastPrice = pre;
    d.PreSettlementPrice = pre;
    d.PreClosePrice = pre;
    d.PreOpenInterest = 10000.0 + static_cast<double>(nextRandom(b.rng) % 90000);
    d.OpenInterest = d.PreOpenInterest;
    d.OpenPrice = pre;
    d.HighestPrice = pre;
    d.LowestPrice = pre;
    d.UpperLimitPrice = ins.upperLimit;
    d.LowerLimitPrice = ins.lowerLimit;
    // A price the exchange has not published yet is sent as the largest double, as CTP fronts do.
    d.ClosePrice = std::numeric_limits<double>::max();
    d.SettlementPrice = std::numeric_limits<double>::max();
    d.PreDelta = 0.0;
    d.CurrDelta = std::numeric_limits<double>::max();
  }
}

void Market::step(Book& b) {
  const InstrumentState& ins = *b.instrument;
  const double tick = ins.def.priceTick;
  const long long lower = std::llround(ins.lowerLimit / tick) + kLevels;
  const long long upper = std::llround(ins.upperLimit / tick) - kLevels;
  const long long move = static_cast<long long>(nextRandom(b.rng) % 5) - 2;
  b.priceTicks = std::clamp(b.priceTicks + move, std::min(lower, upper), std::max(lower, upper));
  auto& d = b.depth;
  const double price = b.priceTicks * tick;
  const int traded = static_cast<int>(nextRandom(b.rng) % 40);
  d.LastPrice = price;
  d.Volume += traded;
  d.Turnover += price * traded * ins.def.multiplier;
  d.OpenInterest = std::max(0.0, d.OpenInterest + static_cast<double>(nextRandom(b.rng) % 21) - 10.0);
  d.HighestPrice = std::max(d.HighestPrice, price);
  d.LowestPrice = std::min(d.LowestPrice, price);
  d.AveragePrice = d.Volume > 0 ? d.Turnover / d.Volume : price;
  // Best bid at or just below the last price, best ask one tick above it.
  const long long bid = b.priceTicks - static_cast<long long>(nextRandom(b.rng) % 2);
  double* bidPrices[kLevels] = {&d.BidPrice1, &d.BidPrice2, &d.BidPrice3, &d.BidPrice4, &d.BidPrice5};
  double* askPrices[kLevels] = {&d.AskPrice1, &d.AskPrice2, &d.AskPrice3, &d.AskPrice4, &d.AskPrice5};
  int* bidVolumes[kLevels] = {&d.BidVolume1, &d.BidVolume2, &d.BidVolume3, &d.BidVolume4, &d.BidVolume5};
  int* askVolumes[kLevels] = {&d.AskVolume1, &d.AskVolume2, &d.AskVolume3, &d.AskVolume4, &d.AskVolume5};
  for (int level = 0; level < kLevels; ++level) {
    *bidPrices[level] = (bid - level) * tick;
    *askPrices[level] = (bid + 1 + level) * tick;
    *bidVolumes[level] = 1 + static_cast<int>(nextRandom(b.rng) % 200);
    *askVolumes[level] = 1 + static_cast<int>(nextRandom(b.rng) % 200);
  }
  stampTime(d);
  ++b.sequence;
  ++generatedSteps_;
}

std::vector<std::string> Market::advance(std::int64_t nowMicros, std::int64_t intervalMicros) {
  std::vector<std::string> moved;
  if (intervalMicros <= 0) return moved;
  if (intervalMicros != lastInterval_) {
    lastInterval_ = intervalMicros;
    earliestDue_ = 0;
  }
  if (nowMicros < earliestDue_) return moved;
  std::int64_t earliest = INT64_MAX;
  for (auto& [id, b] : books_) {
    if (b.subscribers <= 0 || b.replayed) continue;
    if (b.nextDue == 0) b.nextDue = nowMicros;
    int steps = 0;
    while (nowMicros >= b.nextDue && steps < kMaxCatchUpSteps) {
      step(b);
      b.nextDue += intervalMicros;
      ++steps;
    }
    if (steps > 0) moved.push_back(id);
    if (nowMicros >= b.nextDue) b.nextDue = nowMicros + intervalMicros;
    earliest = std::min(earliest, b.nextDue);
  }
  earliestDue_ = earliest;
  return moved;
}

void Market::markReplayed(const std::string& instrumentId) {
  if (Book* b = find(instrumentId)) b->replayed = true;
}

Market::Book* Market::find(std::string_view instrumentId) const {
  auto it = index_.find(instrumentId);
  return it == index_.end() ? nullptr : it->second;
}

std::uint64_t Market::push(const CThostFtdcDepthMarketDataField& snapshot) {
  Book* found = find(textView(snapshot.InstrumentID));
  if (found == nullptr) return 0;
  Book& b = *found;
  b.depth = snapshot;
  const double tick = b.instrument->def.priceTick;
  if (snapshot.LastPrice > 0.0 && snapshot.LastPrice < 1e300) b.priceTicks = std::llround(snapshot.LastPrice / tick);
  return ++b.sequence;
}

void Market::subscribe(const std::string& instrumentId) {
  Book* b = find(instrumentId);
  if (b == nullptr) return;
  ++b->subscribers;
  earliestDue_ = 0;
}

void Market::unsubscribe(const std::string& instrumentId) {
  Book* b = find(instrumentId);
  if (b != nullptr && b->subscribers > 0) --b->subscribers;
}

const CThostFtdcDepthMarketDataField* Market::snapshot(const std::string& instrumentId, std::uint64_t* sequence) const {
  const Book* b = find(instrumentId);
  if (b == nullptr) return nullptr;
  if (sequence != nullptr) *sequence = b->sequence;
  return &b->depth;
}

}  // namespace qvsim

// The exchange's trading sessions: each product's phase by the exchange's clock, the orders it
// refuses outside continuous trading and the auction's collection, the instrument statuses of
// each change of phase, and the opening call auction. Called under the world lock, like every
// Exchange method.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>

#include "ThostFtdcUserApiDataType.h"
#include "core/exchange/exchange.h"
#include "core/exchange/exchange_clock.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

namespace {

constexpr long long kSecond = 1000;
constexpr long long kDayMillis = 24 * 3600 * kSecond;
constexpr long long kAuctionMatch = 60 * kSecond;  // the auction matches in the minute before the open

long long nowMillis() {
  const ExchangeTime t = exchangeNow();
  return exchangeMillis(t.date, t.millis);
}

constexpr int kEvening = 18 * 3600 * 1000;     // from here on the clock is in the next trading day's night
constexpr int kNightsEnd = 3 * 3600 * 1000;    // until here it is still in the night that began the evening before

bool validPrice(double price) { return price > 0.0 && price < 1e300; }

}  // namespace

std::string productOf(const InstrumentDef& def) {
  if (!def.productId.empty()) return def.productId;
  std::size_t n = 0;
  while (n < def.instrumentId.size() && std::isalpha(static_cast<unsigned char>(def.instrumentId[n]))) ++n;
  return def.instrumentId.substr(0, n);
}

int Exchange::marketDay() const {
  const ExchangeTime t = exchangeNow();
  if (t.date == 0) return 0;
  const int part = t.millis >= kEvening ? 2 : t.millis < kNightsEnd ? 0 : 1;
  const long long key = static_cast<long long>(t.date) * 4 + part;
  if (key == clockKey_) return clockDay_;
  clockKey_ = key;
  if (part == 2) {
    clockDay_ = calendar_.next(t.date);
  } else if (part == 0) {
    clockDay_ = calendar_.next(addDays(t.date, -1));
  } else {
    clockDay_ = calendar_.isTradingDay(t.date) ? t.date : 0;
  }
  return clockDay_;
}

bool Exchange::sessionsApply() const { return sessions_ == "table" || (sessions_.empty() && replayedTimeSet()); }

const DayPhases* Exchange::phasesOf(const InstrumentState& ins) const {
  if (!sessionsApply()) return nullptr;
  const int day = marketDay();
  if (day != phasesDay_) {
    phases_.clear();
    phasesDay_ = day;
    ++phasesEpoch_;
  }
  if (ins.phasesEpoch == phasesEpoch_) return ins.phases;
  ins.phasesEpoch = phasesEpoch_;
  ins.phases = nullptr;
  const ProductHours* hours = hours_.of(ins.def.exchangeId, productOf(ins.def));
  if (hours == nullptr) return nullptr;
  auto it = phases_.find(ins.productKey);
  if (it == phases_.end()) {
    it = phases_.emplace(ins.productKey, day == 0 ? DayPhases{} : dayPhases(*hours, calendar_, day)).first;
  }
  ins.phases = &it->second;
  return ins.phases;
}

Phase Exchange::phase(const InstrumentState& ins) const {
  const DayPhases* phases = phasesOf(ins);
  return phases == nullptr ? Phase::kContinuous : phases->at(nowMillis());
}

std::string Exchange::sessionRefusal(const InstrumentState& ins, const CThostFtdcInputOrderField& input) const {
  const Phase now = phase(ins);
  if (now == Phase::kContinuous) return "";
  if (now != Phase::kAuctionOrdering) return "当前不在交易时间";
  // The auction collects limit orders good for the day; immediate ones have nothing to meet.
  if (input.OrderPriceType != THOST_FTDC_OPT_LimitPrice || input.TimeCondition != THOST_FTDC_TC_GFD) {
    return "集合竞价阶段只接受限价当日有效报单";
  }
  return "";
}

std::vector<CThostFtdcInstrumentStatusField> Exchange::statusChanges() {
  std::vector<CThostFtdcInstrumentStatusField> out;
  if (!sessionsApply()) return out;
  const long long now = nowMillis();
  if (marketDay() != statusDay_) {
    statusSent_.clear();
    statusDay_ = marketDay();
  } else if (now < nextStatusAt_) {
    return out;  // no phase changed since the last call
  }
  nextStatusAt_ = std::numeric_limits<long long>::max();
  std::vector<std::tuple<long long, std::string, CThostFtdcInstrumentStatusField>> changed;
  std::set<std::string> seen;
  for (const auto& [id, ins] : instruments_) {
    const std::string& key = ins.productKey;
    if (!seen.insert(key).second) continue;
    const DayPhases* phases = phasesOf(ins);
    if (phases == nullptr || phases->changes.empty()) continue;
    const std::vector<PhaseChange>& changes = phases->changes;
    const std::size_t due = static_cast<std::size_t>(
        std::upper_bound(changes.begin(), changes.end(), now, [](long long t, const PhaseChange& c) { return t < c.at; }) -
        changes.begin());
    auto [sent, first] = statusSent_.try_emplace(key, 0);
    // A product first seen today reports only the phase it is in.
    std::size_t from = first && due > 0 ? due - 1 : sent->second;
    for (; from < due; ++from) {
      auto r = zeroRecord<CThostFtdcInstrumentStatusField>();
      setText(r.ExchangeID, ins.def.exchangeId);
      setText(r.ExchangeInstID, productOf(ins.def));
      setText(r.SettlementGroupID, "00000001");
      setText(r.InstrumentID, productOf(ins.def));
      r.InstrumentStatus = static_cast<char>(changes[from].phase);
      r.TradingSegmentSN = static_cast<int>(from) + 1;
      char time[9];
      formatTime(static_cast<int>(((changes[from].at % kDayMillis) + kDayMillis) % kDayMillis), time);
      setText(r.EnterTime, time);
      r.EnterReason = THOST_FTDC_IER_Automatic;
      changed.emplace_back(changes[from].at, key, r);
    }
    sent->second = due;
    if (due < changes.size()) nextStatusAt_ = std::min(nextStatusAt_, changes[due].at);
  }
  std::stable_sort(changed.begin(), changed.end(),
                   [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
  for (auto& c : changed) out.push_back(std::get<2>(c));
  return out;
}

bool Exchange::auctionDue(InstrumentState& ins, bool& continuous) {
  continuous = true;
  const DayPhases* phases = phasesOf(ins);
  if (phases == nullptr) return false;
  const long long now = nowMillis();
  const Phase phase = phases->at(now);
  // A snapshot stamped at a session's close still reports the session's trading.
  auto last = std::upper_bound(phases->changes.begin(), phases->changes.end(), now,
                               [](long long t, const PhaseChange& c) { return t < c.at; });
  const bool atClose = last != phases->changes.begin() && now < std::prev(last)->at + kSecond &&
                       (phase == Phase::kNoTrading || phase == Phase::kClosed);
  continuous = phase == Phase::kContinuous || atClose;
  if (phases->changes.empty() || now < phases->open - kAuctionMatch) return false;
  if (ins.auctionDay == phasesDay_) return false;
  ins.auctionDay = phasesDay_;
  return true;
}

void Exchange::matchAuction(const std::string& instrumentId, const CThostFtdcDepthMarketDataField& depth,
                            std::vector<Match>& found) {
  auto book = books_.find(instrumentId);
  if (book == books_.end() || book->second.size() == 0) return;
  double price = 0.0;
  long long volume = 0;
  if (replayedTimeSet()) {
    // The recorded market's own auction: the session's first snapshot.
    if (!validPrice(depth.LastPrice) || depth.Volume <= 0) return;
    price = depth.LastPrice;
    volume = depth.Volume;
  } else {
    // The price at which the collected orders trade the most, the nearest the last price on a tie.
    const double inf = std::numeric_limits<double>::infinity();
    const double floor = -inf;
    const std::vector<std::size_t> all = book->second.reachable(&floor, &inf);
    std::set<double> prices;
    for (std::size_t i : all) prices.insert(orders_[i].field.LimitPrice);
    const double reference = lastPrice(instrumentId);
    for (double p : prices) {
      long long buys = 0;
      long long sells = 0;
      for (std::size_t i : all) {
        const auto& f = orders_[i].field;
        if (f.Direction == THOST_FTDC_D_Buy ? f.LimitPrice >= p - kPriceEpsilon : f.LimitPrice <= p + kPriceEpsilon) {
          (f.Direction == THOST_FTDC_D_Buy ? buys : sells) += f.VolumeTotal;
        }
      }
      const long long traded = std::min(buys, sells);
      if (traded > volume || (traded == volume && traded > 0 && std::fabs(p - reference) < std::fabs(price - reference))) {
        volume = traded;
        price = p;
      }
    }
    if (volume == 0) return;
  }
  constexpr double kSlack = 2 * kPriceEpsilon;
  const double buyFloor = price - kSlack;
  const double sellCeiling = price + kSlack;
  long long left[2] = {volume, volume};  // [sell, buy]
  for (std::size_t i : book->second.reachable(&buyFloor, &sellCeiling)) {
    const WorkingOrder& o = orders_[i];
    if (!o.working()) continue;
    const bool buy = o.field.Direction == THOST_FTDC_D_Buy;
    if (buy ? o.field.LimitPrice < price - kPriceEpsilon : o.field.LimitPrice > price + kPriceEpsilon) continue;
    long long& room = left[buy ? 1 : 0];
    const int v = static_cast<int>(std::min<long long>(o.field.VolumeTotal, room));
    if (v <= 0) continue;
    room -= v;
    found.push_back(Match{i, false, price, v});
  }
}

}  // namespace qvsim

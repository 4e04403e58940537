#include "core/replay/tick_normaliser.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <utility>

#include "core/exchange/exchange_clock.h"
#include "core/text/fields.h"

namespace qvsim {

namespace {

constexpr long long kDayMillis = 24LL * 3600 * 1000;
constexpr long long kEvening = 18LL * 3600 * 1000;  // from here on a snapshot is of the night
constexpr long long kNightsEnd = 3LL * 3600 * 1000;  // until here it is of the night before
constexpr long long kCloseStamp = 1000;              // a close snapshot stamped this late still counts
constexpr long long kMinute = 60LL * 1000;
constexpr int kAuctionMinutes = 5;

std::string productOf(std::string_view instrumentId) {
  std::size_t n = 0;
  while (n < instrumentId.size() && std::isalpha(static_cast<unsigned char>(instrumentId[n]))) ++n;
  return std::string(instrumentId.substr(0, n));
}

int dateField(const char* text, std::size_t size) { return parseDate(text, strnlen(text, size)); }

std::string dateText(int date) { return std::to_string(date); }

}  // namespace

const char* const kNormalisationNames[] = {"stale_snapshots", "no_value_prices", "days_corrected",
                                           "outside_sessions"};

static_assert(std::size(kNormalisationNames) == kNormalisationKinds, "a name for every kind");

bool NormalisationCounts::any() const {
  for (const long long count : counts) {
    if (count != 0) return true;
  }
  return false;
}

bool TickNormaliser::noValuePrice(const char* field, std::string_view cell, TickRefusal& refusal) {
  if (strict_) {
    refusal.field = field;
    // Built by appending: GCC 12 at -O3 misreads "literal" + std::string&& as an overlapping copy.
    refusal.message.assign(1, '\'');
    refusal.message.append(cell.substr(0, 64));
    refusal.message.append("' is not a price (a strict load refuses what it would read as no value)");
    return false;
  }
  ++pendingNoValues_;
  return true;
}

TickNormaliser::Verdict TickNormaliser::admit(CThostFtdcDepthMarketDataField& d, std::size_t instrument, long long ofDay,
                                              TickRefusal& refusal) {
  const long long noValues = std::exchange(pendingNoValues_, 0);
  if (instrument >= clocks_.size()) clocks_.resize(instrument + 1);
  // Rules that correct a snapshot's trading or action day go first: the stale check compares
  // trading days.
  if (ofDay >= 0 && calendar_ != nullptr && hours_ != nullptr) {
    Verdict verdict = correctDays(d, clocks_[instrument], ofDay, refusal);
    if (verdict == Verdict::kKeep) verdict = inSessions(d, clocks_[instrument], ofDay, refusal);
    if (verdict != Verdict::kKeep) return verdict;
  }
  if (ofDay >= 0) {
    const Verdict verdict = stale(d, clocks_[instrument], ofDay, refusal);
    if (verdict != Verdict::kKeep) return verdict;
  }
  counts_[Normalisation::kNoValuePrice] += noValues;
  return Verdict::kKeep;
}

TickNormaliser::Verdict TickNormaliser::refuseOrCount(Normalisation kind, const char* field, std::string message,
                                                      TickRefusal& refusal) {
  if (strict_) {
    refusal.field = field;
    refusal.message = std::move(message);
    return Verdict::kRefuse;
  }
  ++counts_[kind];
  return Verdict::kKeep;
}

void TickNormaliser::rightDays(const std::string& exchange, int trading, int action, long long ofDay,
                               int& rightTrading, int& rightAction) const {
  const bool night = ofDay >= kEvening || ofDay < kNightsEnd;
  rightTrading = trading;
  rightAction = action;
  if (!night) {
    // A day snapshot happens on its trading day.
    if (rightTrading == 0) rightTrading = action;
    rightAction = rightTrading;
  } else {
    // The evening the night began: from a sound action day, else from the trading day.
    const bool afterMidnight = ofDay < kNightsEnd;
    int evening = 0;
    // A night never falls on its own trading day: an action day equal to the trading day is the
    // trading day (DCE writes it so), except on CZCE, whose trading day is the calendar day.
    const bool actionIsTradingDay = action != 0 && action == trading && exchange != "CZCE";
    if (action != 0 && !actionIsTradingDay) {
      evening = afterMidnight ? addDays(action, -1) : action;
    } else if (trading != 0) {
      evening = calendar_->nightEvening(trading);
      if (evening == 0) evening = calendar_->previous(trading);
    }
    if (evening == 0 || calendar_->next(evening) == 0) {
      rightTrading = trading;  // nothing to go by
      rightAction = action;
      return;
    }
    rightTrading = calendar_->next(evening);
    rightAction = afterMidnight ? addDays(evening, 1) : evening;
  }
}

TickNormaliser::Verdict TickNormaliser::correctDays(CThostFtdcDepthMarketDataField& d, InstrumentClock& clock,
                                                    long long ofDay, TickRefusal& refusal) {
  const int trading = dateField(d.TradingDay, sizeof(d.TradingDay));
  const int action = dateField(d.ActionDay, sizeof(d.ActionDay));
  if (trading == 0 && action == 0) return Verdict::kKeep;  // nothing to go by
  const bool night = ofDay >= kEvening || ofDay < kNightsEnd;
  const int part = ofDay >= kEvening ? 2 : ofDay < kNightsEnd ? 0 : 1;
  const long long key = (static_cast<long long>(trading) * 100000000LL + action) * 4 + part;
  if (key != clock.daysKey) {
    clock.daysKey = key;
    rightDays(getText(d.ExchangeID), trading, action, ofDay, clock.rightTrading, clock.rightAction);
  }
  const int rightTrading = clock.rightTrading;
  const int rightAction = clock.rightAction;
  // A day snapshot without an action day is no quirk: the exchange's clock takes its trading day.
  if (rightTrading == trading && (rightAction == action || (action == 0 && !night))) return Verdict::kKeep;
  const char* field = rightTrading != trading ? "TradingDay" : "ActionDay";
  const std::string was = rightTrading != trading ? getText(d.TradingDay) : getText(d.ActionDay);
  const std::string right = rightTrading != trading ? dateText(rightTrading) : dateText(rightAction);
  const Verdict verdict = refuseOrCount(Normalisation::kDayCorrected, field,
                                        "'" + was + "' at " + getText(d.UpdateTime) + " is not its " +
                                            (rightTrading != trading ? "trading" : "action") + " day, " + right,
                                        refusal);
  if (verdict != Verdict::kKeep) return verdict;
  setText(d.TradingDay, dateText(rightTrading));
  if (rightAction != 0) setText(d.ActionDay, dateText(rightAction));
  return Verdict::kKeep;
}

TickNormaliser::Verdict TickNormaliser::inSessions(const CThostFtdcDepthMarketDataField& d, InstrumentClock& clock,
                                                   long long ofDay, TickRefusal& refusal) {
  const int trading = dateField(d.TradingDay, sizeof(d.TradingDay));
  if (trading == 0) return Verdict::kKeep;
  if (trading != clock.phasesDay) {
    clock.phasesDay = trading;
    const ProductHours* hours = hours_->of(getText(d.ExchangeID), productOf(textView(d.InstrumentID)));
    clock.hasHours = hours != nullptr;
    clock.phases = hours != nullptr ? dayPhases(*hours, *calendar_, trading) : DayPhases{};
  }
  if (!clock.hasHours) return Verdict::kKeep;
  const int action = dateField(d.ActionDay, sizeof(d.ActionDay));
  const long long at = exchangeMillis(action != 0 ? action : trading, static_cast<int>(ofDay));
  const DayPhases& phases = clock.phases;
  bool inside = false;
  if (!phases.changes.empty() && at >= phases.open - kAuctionMinutes * kMinute && at < phases.open) inside = true;
  for (std::size_t i = 0; !inside && i + 1 < phases.changes.size(); ++i) {
    const PhaseChange& c = phases.changes[i];
    if (c.phase == Phase::kContinuous && at >= c.at && at < phases.changes[i + 1].at + kCloseStamp) inside = true;
  }
  if (inside) return Verdict::kKeep;
  if (strict_) {
    refusal.field = "UpdateTime";
    refusal.message = getText(d.UpdateTime) + " of " + getText(d.ActionDay) + " is outside " + getText(d.InstrumentID) +
                      "'s trading sessions of " + getText(d.TradingDay);
    return Verdict::kRefuse;
  }
  ++counts_[Normalisation::kOutsideSessions];
  return Verdict::kSkip;
}

TickNormaliser::Verdict TickNormaliser::stale(const CThostFtdcDepthMarketDataField& d, InstrumentClock& clock,
                                              long long ofDay, TickRefusal& refusal) {
  const std::string_view day(d.TradingDay, strnlen(d.TradingDay, sizeof(d.TradingDay)));
  long long at = ofDay;
  if (clock.lastMillis >= 0 && day == clock.tradingDay) {
    // A night session runs past midnight: a time more than half a day before the last one is on
    // a later calendar day (the earliest that puts it within half a day of the last).
    const long long behind = clock.lastMillis - kDayMillis / 2 - at;
    if (behind > 0) at += (behind + kDayMillis - 1) / kDayMillis * kDayMillis;
    if (at < clock.lastMillis) {
      if (strict_) {
        refusal.field = "UpdateTime";
        refusal.message =
            getText(d.UpdateTime) + " is before the previous " + getText(d.InstrumentID) + " snapshot of the day";
        return Verdict::kRefuse;
      }
      ++counts_[Normalisation::kStaleSnapshot];
      return Verdict::kSkip;
    }
  }
  clock.lastMillis = at;
  if (day != clock.tradingDay) clock.tradingDay = std::string(day);
  return Verdict::kKeep;
}

}  // namespace qvsim

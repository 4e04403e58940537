#include "core/replay/tick_normaliser.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "core/text/fields.h"

namespace qvsim {

namespace {

constexpr long long kDayMillis = 24LL * 3600 * 1000;

}  // namespace

const char* const kNormalisationNames[] = {"stale_snapshots", "no_value_prices"};
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
    refusal.message =
        "'" + std::string(cell.substr(0, 64)) + "' is not a price (a strict load refuses what it would read as no value)";
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
  if (ofDay >= 0) {
    const Verdict verdict = stale(d, clocks_[instrument], ofDay, refusal);
    if (verdict != Verdict::kKeep) return verdict;
  }
  counts_[Normalisation::kNoValuePrice] += noValues;
  return Verdict::kKeep;
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

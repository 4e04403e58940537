// TickNormaliser: what a careful recorder does to a tick file as it is read, so that files written
// by ordinary CTP recorders replay, and the count of each thing it did for the replay's report.
// A price cell without a value (empty, N/A, nan, 1e300 and above) becomes the largest double, as
// the fronts send it; a snapshot older than its instrument's last of the same trading day (a front
// pushes its last snapshot again at a session's start or on subscription) is skipped. Strict, it
// refuses the file at the first of these instead. Every snapshot read passes admit() before it is
// kept. With the exchange's trading hours and calendar it also corrects trading and action days
// (CZCE fronts stamp a night snapshot's TradingDay with the calendar day, DCE fronts its ActionDay
// with the trading day) and leaves out snapshots outside their product's sessions (before the
// opening auction, in a break, after the close; one stamped up to a second after a session's
// close still reports the session).
// One per file read, used by the reading thread alone.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/market_time/calendar.h"
#include "core/market_time/trading_hours.h"

namespace qvsim {

// The kinds are reported by name and position (kNormalisationNames); a new kind goes before kCount.
enum class Normalisation : int {
  kStaleSnapshot,  // skipped: older than its instrument's last snapshot of the trading day
  kNoValuePrice,   // a price cell that held no value, stored as the largest double
  kDayCorrected,   // a trading or action day set right by the session calendar
  kOutsideSessions,  // skipped: outside its product's sessions
  kCount
};

constexpr std::size_t kNormalisationKinds = static_cast<std::size_t>(Normalisation::kCount);
// Stable names of the kinds, in their order, for the control surface and the package.
extern const char* const kNormalisationNames[];

struct NormalisationCounts {
  std::array<long long, kNormalisationKinds> counts{};

  long long& operator[](Normalisation kind) { return counts[static_cast<std::size_t>(kind)]; }
  long long operator[](Normalisation kind) const { return counts[static_cast<std::size_t>(kind)]; }
  bool any() const;
};

// Why a strict load refused a snapshot: the field it names and what was wrong with it.
struct TickRefusal {
  const char* field = nullptr;
  std::string message;
};

// How a tick file is read (core/replay/tick_file.h).
struct TickReadOptions {
  bool strict = false;  // refuse the file at the first thing normalising would change
  // The exchange's trading hours and calendar: trading and action days are corrected by them and
  // snapshots outside their product's sessions are left out. Null: neither.
  const TradingHours* hours = nullptr;
  const Calendar* calendar = nullptr;
};

class TickNormaliser {
 public:
  enum class Verdict { kKeep, kSkip, kRefuse };

  explicit TickNormaliser(const TickReadOptions& options)
      : strict_(options.strict), hours_(options.hours), calendar_(options.calendar) {}

  bool strict() const { return strict_; }

  // A price cell of the snapshot being read that holds no value: counted once the snapshot is
  // admitted (a skipped snapshot counts as skipped alone); strict, fills `refusal` and returns
  // false.
  bool noValuePrice(const char* field, std::string_view cell, TickRefusal& refusal);

  // The step every snapshot of the file passes once its cells are read and its instrument is
  // known (`instrument`: its index in TickFile::instruments, `ofDay`: its time of day in
  // milliseconds, or -1 when the file has no times). kSkip leaves it out of the replay; kRefuse
  // fills `refusal` and ends the load. May change the snapshot.
  Verdict admit(CThostFtdcDepthMarketDataField& d, std::size_t instrument, long long ofDay, TickRefusal& refusal);

  const NormalisationCounts& counts() const { return counts_; }

 private:
  struct InstrumentClock {
    std::string tradingDay;
    long long lastMillis = -1;  // within the trading day, running on past midnight
    // The last days corrected: (trading day, action day, part of the day) and what they became.
    long long daysKey = -1;
    int rightTrading = 0;
    int rightAction = 0;
    // The phases of its product's trading day `phasesDay`, when its product has hours.
    int phasesDay = -1;
    bool hasHours = false;
    DayPhases phases;
  };

  // A snapshot whose time goes back within its instrument's trading day; else moves the clock on.
  Verdict stale(const CThostFtdcDepthMarketDataField& d, InstrumentClock& clock, long long ofDay,
                TickRefusal& refusal);

  // Sets the snapshot's trading and action days right for its time of day.
  Verdict correctDays(CThostFtdcDepthMarketDataField& d, InstrumentClock& clock, long long ofDay, TickRefusal& refusal);
  // The days a snapshot of `exchange` stamped (trading, action) at part of day `ofDay` should carry.
  void rightDays(const std::string& exchange, int trading, int action, long long ofDay, int& rightTrading,
                 int& rightAction) const;
  // Whether the snapshot falls in its product's sessions or opening auction, or at a close.
  Verdict inSessions(const CThostFtdcDepthMarketDataField& d, InstrumentClock& clock, long long ofDay,
                     TickRefusal& refusal);
  Verdict refuseOrCount(Normalisation kind, const char* field, std::string message, TickRefusal& refusal);

  bool strict_;
  const TradingHours* hours_;
  const Calendar* calendar_;
  NormalisationCounts counts_;
  long long pendingNoValues_ = 0;  // of the snapshot being read
  std::vector<InstrumentClock> clocks_;  // by instrument index
};

}  // namespace qvsim

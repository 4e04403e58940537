// TickNormaliser: what a careful recorder does to a tick file as it is read, so that files written
// by ordinary CTP recorders replay, and the count of each thing it did for the replay's report.
// A price cell without a value (empty, N/A, nan, 1e300 and above) becomes the largest double, as
// the fronts send it; a snapshot older than its instrument's last of the same trading day (a front
// pushes its last snapshot again at a session's start or on subscription) is skipped. Strict, it
// refuses the file at the first of these instead. Every snapshot read passes admit() before it is
// kept: rules that decide per snapshot (a trading or action day to correct, a snapshot outside its
// product's sessions) belong there, each with a Normalisation kind of its own.
// One per file read, used by the reading thread alone.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

// The kinds are reported by name and position (kNormalisationNames); a new kind goes before kCount.
enum class Normalisation : int {
  kStaleSnapshot,  // skipped: older than its instrument's last snapshot of the trading day
  kNoValuePrice,   // a price cell that held no value, stored as the largest double
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

class TickNormaliser {
 public:
  enum class Verdict { kKeep, kSkip, kRefuse };

  explicit TickNormaliser(bool strict) : strict_(strict) {}

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
  };

  // A snapshot whose time goes back within its instrument's trading day; else moves the clock on.
  Verdict stale(const CThostFtdcDepthMarketDataField& d, InstrumentClock& clock, long long ofDay,
                TickRefusal& refusal);

  bool strict_;
  NormalisationCounts counts_;
  long long pendingNoValues_ = 0;  // of the snapshot being read
  std::vector<InstrumentClock> clocks_;  // by instrument index
};

}  // namespace qvsim

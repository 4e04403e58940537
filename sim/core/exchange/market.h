// The simulated market: one depth snapshot per instrument, moved by a deterministic seeded random
// walk on the tick grid inside the price limits, with five levels each side and volume, turnover
// and open interest that only grow (open interest excepted). Shared by every market-data session
// of the process so that two sessions see the same prices.
// Not thread-safe by itself: every call is made under the world lock (core/world/world.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/exchange/instrument.h"

namespace qvsim {

class Market {
 public:
  Market() = default;
  Market(const Market&) = delete;  // the index points into this market's books
  Market& operator=(const Market&) = delete;

  // Starts every instrument the exchange lists at its pre-settlement price on `tradingDay`.
  void load(const std::map<std::string, InstrumentState>& instruments, const std::string& tradingDay,
            std::uint64_t seed);

  // Moves every instrument with at least one subscriber forward to `nowMicros`, one step per
  // period of `intervalMicros` (at most a few steps of catching up). A period of 0 stops the stream.
  // Instruments a replay drives do not move. Returns the instruments that moved; costs one
  // comparison while no instrument is due.
  std::vector<std::string> advance(std::int64_t nowMicros, std::int64_t intervalMicros);
  // Counts the generated steps of all instruments: unchanged, no generated snapshot is new.
  std::uint64_t generatedSteps() const { return generatedSteps_; }

  // Hands an instrument to a replay: the generator stops for it until the next load.
  void markReplayed(const std::string& instrumentId);

  // Replaces an instrument's snapshot with a pushed or replayed one; its sequence moves on.
  // Returns the new sequence, or 0 for an instrument the market does not know (it is still
  // delivered as given).
  std::uint64_t push(const CThostFtdcDepthMarketDataField& snapshot);

  void subscribe(const std::string& instrumentId);
  void unsubscribe(const std::string& instrumentId);

  // The current snapshot and its sequence number (0 before the first step), or null.
  const CThostFtdcDepthMarketDataField* snapshot(const std::string& instrumentId, std::uint64_t* sequence) const;

 private:
  struct Book {
    const InstrumentState* instrument = nullptr;
    CThostFtdcDepthMarketDataField depth{};
    std::uint64_t rng = 0;
    std::uint64_t sequence = 0;
    std::int64_t nextDue = 0;
    int subscribers = 0;
    long long priceTicks = 0;
    bool replayed = false;
  };

  void step(Book& book);
  static std::uint64_t nextRandom(std::uint64_t& state);

  Book* find(std::string_view instrumentId) const;

  std::map<std::string, Book> books_;  // in instrument order, the order generated steps take
  std::unordered_map<std::string_view, Book*> index_;  // the same books by instrument id
  std::int64_t earliestDue_ = 0;   // no subscribed generated instrument is due before it
  std::int64_t lastInterval_ = 0;
  std::uint64_t generatedSteps_ = 0;
};

}  // namespace qvsim

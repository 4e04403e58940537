// Loading positions from the position query (OnRspQryInvestorPosition). The query reports a side
// of a position as one or two records (yesterday's and today's lots); the chain repeats the query
// after every reconnect, and the host may run it at any time. Each query is a round: the first
// record of a side in a round replaces the whole side, so a repeated query gives the same volumes,
// frozen lots and turnover instead of adding its OpenCost again, and the round's last answer
// zeroes every side it did not report (a position closed while the front was down is flat).
// Runs on the trader library's callback thread.
#include <vector>

#include "base/text.h"
#include "trading/instrument_key.h"
#include "trading/instrument_table.h"
#include "trading/order_engine.h"
#include "trading/order_report_fields.h"
#include "trading/position_sides.h"

namespace qv {
namespace {

constexpr char kPosiLong = '2';
constexpr char kPosiShort = '3';
constexpr char kPositionHistory = '2';
constexpr char kPositionToday = '1';
constexpr uint8_t kLoadedLong = 1;
constexpr uint8_t kLoadedShort = 2;

void clearSide(PositionSide side) {
  side.history = side.historyFrozen = side.today = side.todayFrozen = 0;
  side.volume = side.frozen = 0;
  side.turnover = side.averageCost = 0;
}

}  // namespace

void OrderEngine::startPositionRound(int32_t round) {
  SpinFlagGuard guard(positionRoundFlag_);
  if (round == positionRound_) return;
  positionRound_ = round;
  positionRoundOpen_ = true;
  loadedPositionSides_.clear();
}

void OrderEngine::finishPositionRound(int32_t round) {
  std::unordered_map<const PositionHolder*, uint8_t> loaded;
  {
    SpinFlagGuard guard(positionRoundFlag_);
    if (round != positionRound_ || !positionRoundOpen_) return;
    positionRoundOpen_ = false;
    loaded.swap(loadedPositionSides_);
  }
  // Holders are listed under the map's lock and changed after it, under their own.
  std::vector<PositionHolder*> holders;
  positions_.forEach([&](const std::string&, PositionHolder* holder) { holders.push_back(holder); });
  for (PositionHolder* holder : holders) {
    auto it = loaded.find(holder);
    const uint8_t sides = it == loaded.end() ? 0 : it->second;
    if (sides == (kLoadedLong | kLoadedShort)) continue;
    HolderWriteGuard<PositionHolder> guard(holder);
    if ((sides & kLoadedLong) == 0) clearSide(longSide(holder->record));
    if ((sides & kLoadedShort) == 0) clearSide(shortSide(holder->record));
  }
}

void OrderEngine::loadPosition(const CThostFtdcInvestorPositionField& reported) {
  if (reported.PosiDirection != kPosiLong && reported.PosiDirection != kPosiShort) return;
  char instrumentId[sizeof reported.InstrumentID + 1];
  char exchangeId[sizeof reported.ExchangeID + 1];
  copyReportText(instrumentId, reported.InstrumentID);
  copyReportText(exchangeId, reported.ExchangeID);
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, instrumentId, exchangeId);
  InstrumentInfo* instrument = instrumentTable().find(key);
  PositionHolder* position = positionFor(key, true, instrument, nullptr, exchangeId, instrumentId);
  if (position == nullptr) return;

  const bool isLong = reported.PosiDirection == kPosiLong;
  bool firstInRound = false;
  {
    const uint8_t bit = isLong ? kLoadedLong : kLoadedShort;
    SpinFlagGuard guard(positionRoundFlag_);
    uint8_t& sides = loadedPositionSides_[position];
    firstInRound = (sides & bit) == 0;
    sides |= bit;
  }

  HolderWriteGuard<PositionHolder> guard(position);
  PositionSide side = isLong ? longSide(position->record) : shortSide(position->record);
  if (firstInRound) clearSide(side);
  // Long lots are frozen by sell-close orders (ShortFrozen), short lots by buy-close orders.
  const int32_t frozen = isLong ? reported.ShortFrozen : reported.LongFrozen;
  if (reported.PositionDate == kPositionHistory) {
    side.history = reported.Position;
    side.historyFrozen = frozen;
  } else if (reported.PositionDate == kPositionToday) {
    side.today = reported.Position;
    side.todayFrozen = frozen;
  }
  side.volume = side.history + side.today;
  side.frozen = side.historyFrozen + side.todayFrozen;
  side.turnover += reported.OpenCost;
  const InstrumentInfo* known = position->instrument;
  side.averageCost = known != nullptr && known->VolumeMultiple != 0 && side.volume > 0
                         ? side.turnover / (static_cast<double>(side.volume) * known->VolumeMultiple)
                         : 0.0;
}

}  // namespace qv

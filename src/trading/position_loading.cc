// Loading positions from the position query (OnRspQryInvestorPosition). The query reports a side
// of a position as one or two records (yesterday's and today's lots); the chain repeats the query
// after every reconnect. The first record of a side in a round replaces the whole side, so a
// repeated query gives the same volumes, frozen lots and turnover instead of adding its OpenCost
// again. Runs on the trader library's callback thread.
#include <string>

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

}  // namespace

void OrderEngine::startPositionRound(int32_t round) {
  SpinFlagGuard guard(positionRoundFlag_);
  if (round == positionRound_) return;
  positionRound_ = round;
  loadedPositionSides_.clear();
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

  bool firstInRound = false;
  {
    std::string side = key;
    side += '|';
    side += reported.PosiDirection;
    SpinFlagGuard guard(positionRoundFlag_);
    firstInRound = loadedPositionSides_.insert(std::move(side)).second;
  }

  HolderWriteGuard<PositionHolder> guard(position);
  const bool isLong = reported.PosiDirection == kPosiLong;
  PositionSide side = isLong ? longSide(position->record) : shortSide(position->record);
  if (firstInRound) {
    side.history = side.historyFrozen = side.today = side.todayFrozen = 0;
    side.turnover = 0;
  }
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

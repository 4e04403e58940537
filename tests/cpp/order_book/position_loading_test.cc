// Positions loaded from the position query: the sums of a side's records, and a repeated query (a
// reconnect) that replaces what an earlier one loaded instead of adding to it.
#include <gtest/gtest.h>

#include <cstring>

#include "book_engine.h"

namespace qv_test {
namespace {

CThostFtdcInvestorPositionField positionRecord(const char* instrumentId, const char* exchangeId,
                                               char direction, char date, int32_t lots,
                                               int32_t frozen, double openCost) {
  CThostFtdcInvestorPositionField record{};
  std::strcpy(record.InstrumentID, instrumentId);
  std::strcpy(record.ExchangeID, exchangeId);
  record.PosiDirection = direction;
  record.PositionDate = date;
  record.Position = lots;
  // Long lots are frozen by sell orders (ShortFrozen), short lots by buy orders (LongFrozen).
  (direction == '2' ? record.ShortFrozen : record.LongFrozen) = frozen;
  record.OpenCost = openCost;
  return record;
}

TEST(PositionLoadingTest, SidesSumTheirRecordsAndARepeatedQueryGivesTheSameNumbers) {
  BookEngine& engine = keptBookEngine();
  qv::InstrumentInfo* instrument = bookInstrument("pl1", "SHFE");
  for (int32_t round = 1; round <= 2; ++round) {
    engine.startPositionRound(round);
    engine.loadPosition(positionRecord("pl1", "SHFE", '2', '2', 3, 1, 30000));
    engine.loadPosition(positionRecord("pl1", "SHFE", '2', '1', 2, 0, 20400));
    engine.loadPosition(positionRecord("pl1", "SHFE", '3', '1', 4, 2, 40000));
    engine.loadPosition(positionRecord("pl1", "SHFE", '1', '1', 9, 0, 1));  // net: ignored
    const CQVPositionField& p = engine.positionOf(instrument)->record;
    EXPECT_EQ(p.LongVolume, 5) << "round " << round;
    EXPECT_EQ(p.LongVolumeHistory, 3);
    EXPECT_EQ(p.LongVolumeFrozen, 1);
    EXPECT_DOUBLE_EQ(p.LongTurnover, 50400) << "round " << round;
    EXPECT_DOUBLE_EQ(p.LongAverageCost, 50400 / (5 * 10.0));
    EXPECT_EQ(p.ShortVolumeToday, 4);
    EXPECT_EQ(p.ShortVolumeTodayFrozen, 2);
    EXPECT_DOUBLE_EQ(p.ShortTurnover, 40000);
  }
  // The same round named again (a later record of the same answer) keeps adding.
  engine.startPositionRound(2);
  engine.loadPosition(positionRecord("pl1", "SHFE", '3', '2', 1, 0, 9000));
  EXPECT_EQ(engine.positionOf(instrument)->record.ShortVolume, 5);
  EXPECT_DOUBLE_EQ(engine.positionOf(instrument)->record.ShortTurnover, 49000);
}

TEST(PositionLoadingTest, ANewRoundDropsLotsClosedSinceTheLastOne) {
  BookEngine& engine = keptBookEngine();
  qv::InstrumentInfo* instrument = bookInstrument("pl2", "SHFE");
  engine.startPositionRound(1);
  engine.loadPosition(positionRecord("pl2", "SHFE", '2', '2', 3, 0, 30000));
  engine.loadPosition(positionRecord("pl2", "SHFE", '2', '1', 2, 0, 20000));
  engine.startPositionRound(2);
  engine.loadPosition(positionRecord("pl2", "SHFE", '2', '1', 2, 0, 20000));
  const CQVPositionField& p = engine.positionOf(instrument)->record;
  EXPECT_EQ(p.LongVolumeHistory, 0);
  EXPECT_EQ(p.LongVolume, 2);
  EXPECT_DOUBLE_EQ(p.LongTurnover, 20000);
}

TEST(PositionLoadingTest, UnknownInstrumentKeepsZeroCosts) {
  BookEngine& engine = keptBookEngine();
  engine.loadPosition(positionRecord("pl-unknown", "DCE", '2', '1', 2, 0, 5000));
  qv::PositionHolder* holder = engine.findPosition("pl-unknown", "DCE");
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(holder->record.LongVolume, 2);
  EXPECT_DOUBLE_EQ(holder->record.LongTurnover, 5000);
  EXPECT_DOUBLE_EQ(holder->record.LongAverageCost, 0);
  EXPECT_EQ(holder->instrument, nullptr);
}

}  // namespace
}  // namespace qv_test

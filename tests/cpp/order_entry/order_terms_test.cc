// What an order type means for an order (conditions, price source, limit or market), the volume
// limits of one order, and money-to-volume sizing: the pure rules order entry is built from.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "records/cqv_records.h"
#include "trading/close_plan.h"
#include "trading/order_pricing.h"
#include "trading/snapshot_entry.h"
#include "trading/volume_limits.h"

namespace qv {
namespace {

struct TypeCase {
  char orderType;
  const char* conditions;  // OrderPriceType, TimeCondition, VolumeCondition, ContingentCondition
  double buyPrice;         // with the snapshot below and a caller's price of 7
  double sellPrice;
  bool isLimitOrder;
};

// Bid 99, ask 101, last 100, limits 90..110.
SnapshotEntry& marketSnapshot() {
  static SnapshotEntry entry{};
  entry.record.BidPrice1 = 99;
  entry.record.AskPrice1 = 101;
  entry.record.LastPrice = 100;
  entry.record.UpperLimitPrice = 110;
  entry.record.LowerLimitPrice = 90;
  return entry;
}

class OrderTypeTable : public testing::TestWithParam<TypeCase> {};

TEST_P(OrderTypeTable, SetsConditionsPriceAndLimitFlag) {
  const TypeCase& c = GetParam();
  for (const char direction : {'0', '1'}) {
    CQVOrderField r{};
    r.Direction = direction;
    r.OrderType = c.orderType;
    priceRecord(r, &marketSnapshot(), 7.0);
    const char got[5] = {r.OrderPriceType, r.TimeCondition, r.VolumeCondition,
                         r.ContingentCondition, '\0'};
    EXPECT_STREQ(got, c.conditions) << c.orderType;
    EXPECT_EQ(r.OriginalPrice, direction == '0' ? c.buyPrice : c.sellPrice) << c.orderType;
    EXPECT_EQ(r.IsLimitOrder, c.isLimitOrder) << c.orderType;
    EXPECT_EQ(r.IsBuyFromMarket, r.OriginalPrice != 7.0) << c.orderType;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, OrderTypeTable,
    testing::Values(TypeCase{'0', "2311", 7, 7, true}, TypeCase{'S', "2311", 7, 7, true},
                    TypeCase{'B', "2111", 7, 7, true}, TypeCase{'E', "2131", 7, 7, true},
                    TypeCase{'U', "2121", 7, 7, true}, TypeCase{'2', "2311", 99, 101, true},
                    TypeCase{'3', "2311", 110, 90, true}, TypeCase{'5', "2311", 110, 90, true},
                    TypeCase{'4', "2311", 100, 100, true}, TypeCase{'1', "2311", 101, 99, true},
                    TypeCase{'?', "2311", 101, 99, true}, TypeCase{'C', "1311", 110, 90, false},
                    TypeCase{'K', "1111", 110, 90, false}, TypeCase{'F', "1131", 110, 90, false},
                    TypeCase{'M', "1212", 110, 90, false}, TypeCase{'N', "1313", 110, 90, false},
                    TypeCase{'W', "G111", 110, 90, false}, TypeCase{'X', "G311", 110, 90, false},
                    TypeCase{'Y', "G111", 101, 99, false}, TypeCase{'Z', "G311", 101, 99, false}),
    [](const testing::TestParamInfo<TypeCase>& param) {
      const char c = param.param.orderType;
      return std::string(c == '?' ? "Unknown" : std::string("Type_") + c);
    });

TEST(SnapshotPrice, IsClampedToTheDayLimitsAndMinusOneWithoutSnapshot) {
  SnapshotEntry e{};
  e.record.AskPrice1 = 250;  // above the upper limit
  e.record.BidPrice1 = 0;    // an empty book side: below the lower limit
  e.record.UpperLimitPrice = 200;
  e.record.LowerLimitPrice = 150;
  EXPECT_EQ(snapshotPrice(&e, PriceSource::kOppositeBest, true), 200);
  EXPECT_EQ(snapshotPrice(&e, PriceSource::kOppositeBest, false), 150);
  EXPECT_EQ(snapshotPrice(nullptr, PriceSource::kLast, true), -1);
  CQVOrderField r{};
  r.Direction = '0';
  r.OrderType = '1';
  priceRecord(r, nullptr, 7.0);
  EXPECT_EQ(r.OriginalPrice, -1);
}

TEST(ClosePlan, StepsFollowTheCloseMode) {
  auto plan = closePlan('2', false);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].offsetFlag, '4');
  EXPECT_EQ(plan[0].slot, CloseSlot::kHistory);
  EXPECT_EQ(plan[1].offsetFlag, '3');
  auto todayFirst = closePlan('2', true);
  EXPECT_EQ(todayFirst[0].offsetFlag, '3');
  EXPECT_EQ(todayFirst[1].offsetFlag, '4');
  for (bool flag : {false, true}) {
    auto total = closePlan('1', flag);
    ASSERT_EQ(total.size(), 1u);
    EXPECT_EQ(total[0].offsetFlag, '1');
    EXPECT_EQ(total[0].slot, CloseSlot::kTotal);
  }
  CQVPositionField p{};
  p.ShortVolumeHistory = 4;
  p.ShortVolumeHistoryFrozen = 1;
  p.ShortVolumeToday = 2;
  p.ShortVolume = 6;
  p.ShortVolumeFrozen = 1;
  p.LongVolume = 9;
  EXPECT_EQ(closableVolume(p, false, CloseSlot::kHistory), 3);
  EXPECT_EQ(closableVolume(p, false, CloseSlot::kToday), 2);
  EXPECT_EQ(closableVolume(p, false, CloseSlot::kTotal), 5);
  EXPECT_EQ(closableVolume(p, true, CloseSlot::kTotal), 9);
}

TEST(VolumeLimits, CloseLimitTakesTheStepUpToTheMaximum) {
  const VolumeLimits limits{200, 2, 1};
  EXPECT_EQ(closeLimit(500, 500, limits), 200);  // cut by the maximum
  EXPECT_EQ(closeLimit(9, 5, limits), 5);        // request covers the step: all of it
  EXPECT_EQ(closeLimit(1, 5, {200, 1, 1}), 1);
  EXPECT_EQ(closeLimit(1, 5, limits), 0);        // below the minimum
  EXPECT_EQ(closeLimit(7, 10, {200, 1, 5}), 5);  // whole lots
  EXPECT_EQ(closeLimit(0, 5, limits), 0);
}

TEST(VolumeLimits, OpenLimitRaisesToTheMinimumAndCutsToTheMaximum) {
  EXPECT_EQ(openLimit(1, {500, 2, 1}), 2);
  EXPECT_EQ(openLimit(900, {500, 2, 1}), 500);
  EXPECT_EQ(openLimit(7, {500, 1, 5}), 5);
  EXPECT_EQ(openLimit(5, {0, 1, 1}), 0);  // an instrument that takes no volume
}

TEST(VolumeLimits, AmountSizingTruncatesAndCaps) {
  InstrumentInfo info{};
  info.VolumeMultiple = 10;
  info.marginRatio = 0.1;
  EXPECT_EQ(volumeForAmount(100000, 4000, info), 24);  // 100000 / 4000.0001
  EXPECT_EQ(volumeForAmount(100000, 0.010001, info), -1);
  EXPECT_EQ(volumeForAmount(100000, -1, info), -1);
  EXPECT_EQ(volumeForAmount(1e300, 4000, info), INT32_MAX);
  EXPECT_EQ(volumeForAmount(NAN, 4000, info), -1);
  EXPECT_EQ(volumeForValue(100000, 4000, info), 24);
  EXPECT_EQ(volumeForValue(100000, 0.009, info), -1);
  EXPECT_EQ(volumeForValue(1e300, 4000, info), -1);
  EXPECT_EQ(volumeForValue(-5, 4000, info), -1);
  EXPECT_EQ(volumeForValue(0, 4000, info), 0);
}

}  // namespace
}  // namespace qv

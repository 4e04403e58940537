// The process-wide instrument table and trading day.
#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <string>
#include <thread>

#include "base/text.h"
#include "trading/instrument_table.h"
#include "trading/trading_day.h"

namespace qv {
namespace {

CThostFtdcInstrumentField instrument(const char* id, const char* exchange) {
  CThostFtdcInstrumentField record{};
  copyText(record.InstrumentID, sizeof record.InstrumentID, id);
  copyText(record.ExchangeID, sizeof record.ExchangeID, exchange);
  record.MinLimitOrderVolume = 2;
  record.MinMarketOrderVolume = 5;
  record.LongMarginRatio = 0.12;
  record.ShortMarginRatio = 0.15;
  record.VolumeMultiple = 10;
  return record;
}

TEST(InstrumentTable, EntersUnderFullAndShortKeys) {
  InstrumentInfo* info = enterInstrument(instrument("itA", "SHFE"));
  EXPECT_EQ(findInstrument("itA", "SHFE"), info);
  EXPECT_EQ(findInstrument("itA", nullptr), info);
  EXPECT_EQ(findInstrument("itA", "DCE"), nullptr);
  EXPECT_EQ(findInstrument(nullptr, "SHFE"), nullptr);
  EXPECT_STREQ(info->key, "itA.SHFE");
  EXPECT_EQ(info->closeMode, '2');
  EXPECT_EQ(info->minOrderVolume, 5);
  EXPECT_EQ(info->orderLot, 1);
  EXPECT_DOUBLE_EQ(info->marginRatio, 0.15);
  EXPECT_EQ(info->lowerPriceBound, 0.0);
  EXPECT_EQ(info->upperPriceBound, std::numeric_limits<double>::max());
}

TEST(InstrumentTable, ShortKeyFollowsTheLastEnteredAndFullKeysStay) {
  InstrumentInfo* first = enterInstrument(instrument("itB", "INE"));
  InstrumentInfo* second = enterInstrument(instrument("itB", "CZCE"));
  EXPECT_EQ(first->closeMode, '2');
  EXPECT_EQ(second->closeMode, '1');
  EXPECT_EQ(findInstrument("itB", nullptr), second);
  EXPECT_EQ(enterInstrument(instrument("itB", "INE")), first);  // not made twice
  EXPECT_EQ(findInstrument("itB", nullptr), first);
  EXPECT_EQ(findInstrument("itB", "CZCE"), second);
}

// One client's instrument query enters instruments while another client's order exports look
// them up: every instrument already entered must be found, under both keys, at every moment.
TEST(InstrumentTable, LookupsStayCorrectWhileAnotherClientEnters) {
  constexpr int kInstruments = 3000;
  std::atomic<int> entered{0};
  std::thread writer([&] {
    for (int i = 0; i < kInstruments; ++i) {
      enterInstrument(instrument(("itC" + std::to_string(i)).c_str(), "CFFEX"));
      entered.store(i + 1, std::memory_order_release);
    }
  });
  int missing = 0;
  while (entered.load(std::memory_order_acquire) < kInstruments) {
    int known = entered.load(std::memory_order_acquire);
    if (known == 0) continue;
    std::string id = "itC" + std::to_string(known - 1);
    InstrumentInfo* full = findInstrument(id.c_str(), "CFFEX");
    if (full == nullptr || full != findInstrument(id.c_str(), nullptr)) ++missing;
  }
  writer.join();
  EXPECT_EQ(missing, 0);
}

TEST(InstrumentKey, OverlongHostTextsAreCut) {
  std::string longId(300, 'z');
  char key[kInstrumentKeySize];
  makeInstrumentKey(key, longId.c_str(), "SHFE");
  EXPECT_EQ(std::strlen(key), kInstrumentKeySize - 1);
  EXPECT_EQ(findInstrument(longId.c_str(), nullptr), nullptr);
  EXPECT_EQ(instrumentKey("rb", nullptr), "rb.");
  EXPECT_EQ(instrumentKey("rb", ""), "rb.");
}

TEST(TradingDay, MovesOnlyForward) {
  EXPECT_EQ(currentTradingDay(), "00000000");
  EXPECT_FALSE(advanceTradingDay(nullptr));
  EXPECT_TRUE(advanceTradingDay("20261208"));
  EXPECT_FALSE(advanceTradingDay("20261207"));
  EXPECT_FALSE(advanceTradingDay("20261208"));
  EXPECT_TRUE(advanceTradingDay("20261209-and-more"));  // cut to eight digits
  EXPECT_EQ(currentTradingDay(), "20261209");
  InstrumentInfo* info = enterInstrument(instrument("itDay", "DCE"));
  EXPECT_STREQ(info->tradingDay, "20261209");
}

}  // namespace
}  // namespace qv

// The CQV record layouts as the host sees them: sizes fixed by the interface, and the simple
// snapshot being a byte-for-byte prefix of the full snapshot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unordered_map>

#include "records/cqv_records.h"
#include "records/print_helper.h"

namespace {

TEST(Records, SizesAreTheInterfaceSizes) {
  EXPECT_EQ(sizeof(CQVLoginField), 1016u);
  EXPECT_EQ(sizeof(CQVOrderField), 568u);
  EXPECT_EQ(sizeof(CQVPositionField), 208u);
  EXPECT_EQ(sizeof(CQVMarketDataField), 704u);
  EXPECT_EQ(sizeof(CQVSimpleMarketDataField), 296u);
  EXPECT_EQ(sizeof(CQVDetailDataField), 168u);
  EXPECT_EQ(sizeof(CQVQueryCommandField), 320u);
  EXPECT_EQ(sizeof(CQVTransferAssetField), 504u);
  EXPECT_EQ(sizeof(CQVCreditDebtField), 232u);
}

TEST(Records, HostVisibleOffsetsOfKeyFields) {
  EXPECT_EQ(offsetof(CQVLoginField, UserType), 256u);
  EXPECT_EQ(offsetof(CQVLoginField, TerminalInfo), 755u);
  EXPECT_EQ(offsetof(CQVOrderField, NextOrder), 56u);
  EXPECT_EQ(offsetof(CQVOrderField, Message), 308u);
  EXPECT_EQ(offsetof(CQVMarketDataField, Info3), 696u);
}

TEST(Records, SimpleSnapshotIsThePrefixOfTheFullSnapshot) {
  CQVMarketDataField full{};
  std::strcpy(full.TradingDay, "20240105");
  std::strcpy(full.ExchangeID, "SHFE");
  std::strcpy(full.StandardID, "rb2405");
  full.MarketDataStatus = '2';
  full.TradingCount = 17;
  std::strcpy(full.UpdateTime, "09:30:01");
  full.UpdateMillisec = 500;
  full.LastPrice = 3500.5;
  full.BidVolume1 = 9;
  full.Volume = 123456789012;
  full.AvgAskPrice = 3501.25;
  full.BidPrice2 = 1.0;  // beyond the prefix

  CQVSimpleMarketDataField simple;
  std::memcpy(&simple, &full, sizeof simple);
  std::unordered_map<std::string, std::string> fullMap, simpleMap;
  CQVPrintHelper::toMap(fullMap, &full, 2);
  CQVPrintHelper::toMap(simpleMap, &simple, 2);
  ASSERT_EQ(simpleMap.size(), 29u);
  for (const auto& [name, value] : simpleMap) EXPECT_EQ(fullMap.at(name), value) << name;
  EXPECT_EQ(simpleMap.at("AvgAskPrice"), "3501.25");
  EXPECT_EQ(simpleMap.count("BidPrice2"), 0u);
}

}  // namespace

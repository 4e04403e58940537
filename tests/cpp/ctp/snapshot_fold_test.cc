#include "ctp/snapshot_fold.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

CThostFtdcDepthMarketDataField depth(const char* id, const char* exchange, double last) {
  CThostFtdcDepthMarketDataField d{};
  copyText(d.TradingDay, "20261208");
  copyText(d.InstrumentID, id);
  copyText(d.ExchangeID, exchange);
  copyText(d.UpdateTime, "09:30:01");
  d.UpdateMillisec = 500;
  d.LastPrice = last;
  d.PreClosePrice = 3500;
  d.PreSettlementPrice = 3510;
  d.BidPrice1 = last - 1;
  d.AskPrice1 = last + 1;
  d.BidVolume1 = 7;
  d.AskVolume1 = 9;
  d.BidPrice5 = last - 5;
  d.AskVolume5 = 55;
  d.UpperLimitPrice = 3800;
  d.LowerLimitPrice = 3200;
  d.Volume = 1200;
  d.Turnover = 4.2e7;
  d.OpenInterest = 88000;
  return d;
}

// Entries live as long as their market-data client; a test's map gives them back when it ends.
class OwningMap : public SnapshotMap {
 public:
  ~OwningMap() {
    std::set<SnapshotEntry*> entries;
    forEach([&](const std::string&, SnapshotEntry* entry) { entries.insert(entry); });
    for (SnapshotEntry* entry : entries) delete entry;
  }
};

TEST(FoldSnapshot, FirstSnapshotMakesOneEntryUnderBothNames) {
  OwningMap map;
  SnapshotFolder folder(map);
  SnapshotEntry* entry = folder.fold(depth("fold01", "SHFE", 3600));
  EXPECT_EQ(map.find("fold01."), entry);
  EXPECT_EQ(map.find("fold01.SHFE"), entry);
  EXPECT_STREQ(entry->key, "fold01.SHFE");
  EXPECT_STREQ(entry->record.StandardID, "fold01");
  EXPECT_STREQ(entry->record.ExchangeID, "SHFE");
  EXPECT_EQ(entry->record.BidPrice5, 3595);
  EXPECT_EQ(entry->record.AskVolume5, 55);
  EXPECT_EQ(entry->record.Volume, 1200);
}

TEST(FoldSnapshot, LaterSnapshotsOfTheDayKeepTheFieldsOfItsFirst) {
  OwningMap map;
  SnapshotFolder folder(map);
  SnapshotEntry* first = folder.fold(depth("fold02", "SHFE", 3600));
  CThostFtdcDepthMarketDataField next = depth("fold02", "SHFE", 3650);
  next.PreClosePrice = 1;
  next.PreSettlementPrice = 2;
  SnapshotEntry* second = folder.fold(next);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second->record.TradingDay, "20261208");
  EXPECT_EQ(second->record.PreClosePrice, 3500);
  EXPECT_EQ(second->record.PreSettlementPrice, 3510);
  EXPECT_EQ(second->record.LastPrice, 3650);
  EXPECT_EQ(map.size(), 2u);
}

TEST(FoldSnapshot, FirstSnapshotOfANewTradingDayMovesTheDaysFields) {
  OwningMap map;
  SnapshotFolder folder(map);
  folder.fold(depth("fold07", "SHFE", 3600));
  CThostFtdcDepthMarketDataField nextDay = depth("fold07", "SHFE", 3650);
  copyText(nextDay.TradingDay, "20261209");
  nextDay.PreClosePrice = 3640;
  nextDay.PreSettlementPrice = 3645;
  SnapshotEntry* entry = folder.fold(nextDay);
  EXPECT_STREQ(entry->record.TradingDay, "20261209");
  EXPECT_EQ(entry->record.PreClosePrice, 3640);
  EXPECT_EQ(entry->record.PreSettlementPrice, 3645);
  // A snapshot without a trading day (some fronts leave it blank) moves nothing.
  CThostFtdcDepthMarketDataField blank = depth("fold07", "SHFE", 3660);
  blank.TradingDay[0] = '\0';
  blank.PreClosePrice = 1;
  folder.fold(blank);
  EXPECT_STREQ(entry->record.TradingDay, "20261209");
  EXPECT_EQ(entry->record.PreClosePrice, 3640);
}

TEST(FoldSnapshot, AnotherFolderOverTheSameMapUpdatesTheSameEntry) {
  OwningMap map;
  SnapshotEntry* first = SnapshotFolder(map).fold(depth("fold06", "SHFE", 3600));
  SnapshotEntry* second = SnapshotFolder(map).fold(depth("fold06", "SHFE", 3700));
  EXPECT_EQ(first, second);
  EXPECT_EQ(second->record.LastPrice, 3700);
  EXPECT_EQ(map.size(), 2u);
}

TEST(FoldSnapshot, EmptyExchangeTakesTheInstrumentTablesExchange) {
  CThostFtdcInstrumentField instrument{};
  copyText(instrument.InstrumentID, "fold03");
  copyText(instrument.ExchangeID, "DCE");
  enterInstrument(instrument);
  OwningMap map;
  SnapshotFolder folder(map);
  SnapshotEntry* entry = folder.fold(depth("fold03", "", 100));
  EXPECT_STREQ(entry->record.ExchangeID, "DCE");
  EXPECT_NE(entry->instrument, nullptr);
  EXPECT_EQ(map.find("fold03.DCE"), entry);
}

TEST(FoldSnapshot, UnknownInstrumentWithoutExchangeHasOneName) {
  OwningMap map;
  SnapshotFolder folder(map);
  SnapshotEntry* entry = folder.fold(depth("fold04", "", 100));
  EXPECT_STREQ(entry->record.ExchangeID, "");
  EXPECT_EQ(entry->instrument, nullptr);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_STREQ(entry->key, "fold04.");
}

TEST(FoldSnapshot, ValuesAreCopiedUnchanged) {
  OwningMap map;
  SnapshotFolder folder(map);
  CThostFtdcDepthMarketDataField d = depth("fold05", "CZCE", DBL_MAX);
  d.Volume = -5;
  d.BidPrice2 = DBL_MAX;
  SnapshotEntry* entry = folder.fold(d);
  EXPECT_EQ(entry->record.LastPrice, DBL_MAX);
  EXPECT_EQ(entry->record.BidPrice2, DBL_MAX);
  EXPECT_EQ(entry->record.Volume, -5);
  // Fields the CTP record does not carry stay 0.
  EXPECT_EQ(entry->record.BidPrice6, 0);
  EXPECT_EQ(entry->record.AskVolume10, 0);
  EXPECT_EQ(entry->record.AveragePrice, 0);
  EXPECT_EQ(entry->record.Ask1NumOrders, 0);
}

// A day's feed of many instruments: the folder's own index grows past its first size and every
// later snapshot still lands in the entry its instrument's first one made.
TEST(FoldSnapshot, ManyInstrumentsEachKeepTheirEntry) {
  OwningMap map;
  SnapshotFolder folder(map);
  std::vector<SnapshotEntry*> first;
  for (int i = 0; i < 1000; ++i) {
    first.push_back(folder.fold(depth(("many" + std::to_string(i)).c_str(), "DCE", i)));
  }
  for (int i = 999; i >= 0; --i) {
    SnapshotEntry* again = folder.fold(depth(("many" + std::to_string(i)).c_str(), "DCE", i + 0.5));
    ASSERT_EQ(again, first[i]) << i;
    EXPECT_EQ(again->record.LastPrice, i + 0.5);
  }
  EXPECT_EQ(map.size(), 2000u);
}

TEST(FoldSnapshot, FullWidthCodeWithoutTerminatorStaysInsideTheRecord) {
  OwningMap map;
  SnapshotFolder folder(map);
  CThostFtdcDepthMarketDataField d = depth("x", "SHFE", 1);
  std::memset(d.InstrumentID, 'A', sizeof d.InstrumentID);
  SnapshotEntry* entry = folder.fold(d);
  EXPECT_EQ(std::strlen(entry->record.StandardID), sizeof d.InstrumentID);
  d.LastPrice = 2;
  EXPECT_EQ(folder.fold(d), entry) << "the same full-width code again";
  EXPECT_EQ(entry->record.LastPrice, 2);
}

// A code is what comes before its terminator: whatever a library leaves after it does not make
// another instrument, and codes that share a prefix (across eight-byte boundaries too) stay apart.
TEST(FoldSnapshot, TheCodeEndsAtItsTerminator) {
  OwningMap map;
  SnapshotFolder folder(map);
  const std::vector<std::string> codes = {"rb26",     "rb2605",    "abcdefg",   "abcdefgh",
                                          "abcdefghi", "abcdefghijklmnop", "abcdefghijklmnopq"};
  std::vector<SnapshotEntry*> entries;
  for (const std::string& code : codes) entries.push_back(folder.fold(depth(code.c_str(), "SHFE", 1)));
  EXPECT_EQ(std::set<SnapshotEntry*>(entries.begin(), entries.end()).size(), codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    CThostFtdcDepthMarketDataField d = depth(codes[i].c_str(), "SHFE", 2);
    std::memset(d.InstrumentID + codes[i].size() + 1, 'Z', sizeof d.InstrumentID - codes[i].size() - 1);
    EXPECT_EQ(folder.fold(d), entries[i]) << codes[i];
    EXPECT_EQ(entries[i]->record.LastPrice, 2) << codes[i];
  }
}

}  // namespace
}  // namespace qv

#include "bridge/event_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "ThostFtdcUserApiStruct.h"
#include "base/text.h"
#include "records/print_helper.h"

namespace qv::bridge {
namespace {

template <typename R>
std::string printed(const R& record) {
  return CQVPrintHelper::toText(&record, true, " || ", 2);
}

// --- Response events ---

TEST(ResponseEventText, WithRecordPrintsNameHeaderAndRecordOnFiveLines) {
  CThostFtdcRspUserLoginField login{};
  copyText(login.TradingDay, "20261208");
  copyText(login.UserID, "u1");
  const std::string text = formatResponseEvent(11101, &login, "u1", 0, "");
  EXPECT_EQ(text,
            "-------\nEventName:LoginTrader,EventID:11101,UserID:u1,ErrorID:0,Message:.\nCTPField>>>\n" +
                printed(login) + "\n-------");
  EXPECT_NE(text.find("TradingDay:\"20261208\" || "), std::string::npos);
}

TEST(ResponseEventText, DisconnectHasNoNameAndAnEmptyRecordPart) {
  EXPECT_EQ(formatResponseEvent(11002, nullptr, "u1", 4097, "Error:Trader Disconnected."),
            "-------\nEventName:EventID:11002,UserID:u1,ErrorID:4097,Message:Error:Trader Disconnected..\n"
            "CTPField>>>\n\n-------");
}

TEST(ResponseEventText, NullTextsPrintEmptyAndMessageBytesStayRaw) {
  EXPECT_EQ(formatResponseEvent(10002, nullptr, nullptr, -5, nullptr),
            "-------\nEventName:Ready,EventID:10002,UserID:,ErrorID:-5,Message:.\nCTPField>>>\n\n-------");
  EXPECT_NE(formatResponseEvent(11001, nullptr, "u1", 1, "\xb3\xc9\xff").find("Message:\xb3\xc9\xff.\n"),
            std::string::npos);
}

// Ids without a record type print no record even when given one; so does 11208, whose record type
// cannot be told from the id (the balance printer prints it when the caller knows the type).
TEST(ResponseEventText, RecordIsPrintedOnlyWhereTheTypeIsKnown) {
  CThostFtdcNotifyQueryAccountField balance{};
  for (int32_t id : {11001, 11003, 11307, 11208, 99999}) {
    const std::string text = formatResponseEvent(id, &balance, "u1", 0, "");
    EXPECT_NE(text.find("CTPField>>>\n\n-------"), std::string::npos) << id;
  }
  EXPECT_NE(formatResponseEvent(11307, &balance, "u1", 0, "").find("EventName:QryMaxOrderVolume,EventID:11307"),
            std::string::npos);
  EXPECT_NE(formatResponseEvent(11302, nullptr, "u1", 0, "").find("EventName:QryTradingCode,EventID:11302"),
            std::string::npos);
}

TEST(ResponseEventText, TransferAndMarketDataRecordsUseTheirOwnPrinters) {
  CQVTransferAssetField transfer{};
  copyText(transfer.TradingDay, "20261208");
  CThostFtdcDepthMarketDataField depth{};
  depth.LastPrice = DBL_MAX;
  EXPECT_NE(formatResponseEvent(11011, &transfer, "u1", 0, "").find(printed(transfer)), std::string::npos);
  EXPECT_NE(formatResponseEvent(11401, &depth, "u1", 0, "").find("LastPrice:1.79e+308"), std::string::npos);
}

// --- Order events ---

TEST(OrderEventText, PrintsNameBothRecordsAndUsableCash) {
  CQVOrderField order{};
  CQVPositionField position{};
  copyText(order.StandardID, "rb2605");
  EXPECT_EQ(formatOrderEvent(10003, &order, &position, 1234.5),
            "-------\nEventName:Traded.\nQVOrderField>>>\n" + printed(order) + "\nQVPositionField>>>\n" +
                printed(position) + "\nUsableCash:1234.50\n-------");
}

TEST(OrderEventText, UsableCashAtOrBeyondTheLargestDoublePrintsAsTheNoValueMark) {
  EXPECT_EQ(formatCash(1234.5), "1234.50");
  EXPECT_EQ(formatCash(DBL_MAX), "1.79e+308");
  EXPECT_EQ(formatCash(INFINITY), "1.79e+308");
  EXPECT_EQ(formatCash(NAN), "1.79e+308");
  EXPECT_EQ(formatCash(1e300).size(), 304u);  // large finite values print in full
  EXPECT_NE(formatOrderEvent(10004, nullptr, nullptr, DBL_MAX).find("\nUsableCash:1.79e+308\n-------"),
            std::string::npos);
}

TEST(OrderEventText, NullRecordsAndUnknownIdsPrintEmptyParts) {
  EXPECT_EQ(formatOrderEvent(12345, nullptr, nullptr, 0.0),
            "-------\nEventName:QVOrderField>>>\n\nQVPositionField>>>\n\nUsableCash:0.00\n-------");
}

// --- Snapshots ---

TEST(SnapshotEventText, PrintsTheSnapshotBlock) {
  CQVMarketDataField snapshot{};
  copyText(snapshot.TradingDay, "20261208");
  EXPECT_EQ(formatSnapshotEvent(&snapshot),
            "-------\nEventName:MarketDataSnap.\nCQVMarketDataField>>>\n" + printed(snapshot) + "\n-------");
}

}  // namespace
}  // namespace qv::bridge

// CQVPrintHelper: value texts, quoting, separators, names, map insertion, result buffers.
#include "records/print_helper.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Map = std::unordered_map<std::string, std::string>;

template <class R>
Map printMap(const R& record, int precision = 2) {
  Map out;
  CQVPrintHelper::toMap(out, &record, precision);
  return out;
}

// Every value of a zeroed record is an empty text, a zero, or a zero with `precision` decimals.
template <class R>
void expectZeroedPrintsEmpty(size_t printedFields) {
  const R record{};
  const Map values = printMap(record, 2);
  EXPECT_EQ(values.size(), printedFields);
  for (const auto& [name, value] : values) {
    EXPECT_TRUE(value.empty() || value == "0" || value == "0.00") << name << " = " << value;
  }
}

TEST(PrintZeroed, EveryOwnRecordPrintsEmptyTextsAndZeros) {
  expectZeroedPrintsEmpty<CQVLoginField>(23);
  expectZeroedPrintsEmpty<CQVOrderField>(38);
  expectZeroedPrintsEmpty<CQVPositionField>(22);
  expectZeroedPrintsEmpty<CQVMarketDataField>(93);
  expectZeroedPrintsEmpty<CQVSimpleMarketDataField>(29);
  expectZeroedPrintsEmpty<CQVDetailDataField>(16);
  expectZeroedPrintsEmpty<CQVQueryCommandField>(16);
  expectZeroedPrintsEmpty<CQVTransferAssetField>(18);
  expectZeroedPrintsEmpty<CQVCreditDebtField>(21);
}

TEST(PrintZeroed, CtpRecordsPrintEveryPublishedField) {
  expectZeroedPrintsEmpty<CThostFtdcDepthMarketDataField>(44);
  expectZeroedPrintsEmpty<CThostFtdcTradeField>(31);
}

TEST(PrintZeroed, HiddenFieldsAreNeverPrinted) {
  CQVOrderField order{};
  order.NextOrder = &order;
  CQVLoginField login{};
  std::strcpy(login.Reserved, "secret");
  EXPECT_EQ(printMap(order).count("NextOrder"), 0u);
  EXPECT_EQ(printMap(login).count("Reserved"), 0u);
  EXPECT_EQ(std::string(CQVPrintHelper::toText(&login, true, ",", 2)).find("secret"), std::string::npos);
  EXPECT_EQ(std::string(CQVPrintHelper::toText(&login, true, ",", 2)).rfind("UserType:0,UserID:\"\",", 0), 0u);
}

TEST(PrintText, ZeroedOrderWithAndWithoutNames) {
  const CQVOrderField order{};
  const std::string named = CQVPrintHelper::toText(&order, true, ";", 2);
  EXPECT_EQ(named.rfind("TradingDay:\"\";UserID:\"\";ShareholderID:\"\";SessionID:0;FrontID:0;OrderID:0;"
                        "OrderMark:0;ExchangeID:\"\";",
                        0),
            0u)
      << named;
  EXPECT_NE(named.find(";IsBuyFromMarket:0;IsLimitOrder:0;"), std::string::npos);
  EXPECT_NE(named.find(";AverageCost:0.00;ErrorID:0;Message:\"\""), std::string::npos);
  EXPECT_TRUE(named.ends_with(";ErrorID:0;Message:\"\"")) << "no trailing separator";

  const std::string bare = CQVPrintHelper::toText(&order, false, ";", 2);
  EXPECT_EQ(bare.rfind("\"\";\"\";\"\";0;0;0;0;\"\";", 0), 0u) << bare;
  EXPECT_TRUE(bare.ends_with(";0.00;0;\"\"")) << bare;
}

TEST(PrintText, ExactLineWithAndWithoutNamesAndEmptySeparator) {
  CQVDetailDataField detail{};
  std::strcpy(detail.ExchangeID, "SSE");
  std::strcpy(detail.StandardID, "600000");
  detail.DetailDataBusinessType = 'T';
  detail.TimeStamp = 93000120;
  detail.Price = 10.125;
  detail.Volume = -3;
  detail.SubSequenceNo = 9000000000LL;
  detail.BuyOrderNo = -1;
  detail.OrderType = '2';
  detail.Info3 = 7;

  EXPECT_STREQ(CQVPrintHelper::toText(&detail, true, " || ", 2),
               "ExchangeID:\"SSE\" || StandardID:\"600000\" || DetailDataBusinessType:\"T\" || DetailDataFlag:\"\" || "
               "TimeStamp:93000120 || Price:10.12 || Volume:-3 || MainSequenceNo:0 || SubSequenceNo:9000000000 || "
               "BuyOrderNo:-1 || SellOrderNo:0 || OrderType:\"2\" || BizIndex:0 || Info1:0 || Info2:0 || Info3:7");
  EXPECT_STREQ(CQVPrintHelper::toText(&detail, false, "", 3),
               "\"SSE\"\"600000\"\"T\"\"\"9300012010.125-309000000000-10\"2\"0007");
}

TEST(PrintText, FullWidthTextPrintsExactlyItsWidth) {
  CQVOrderField order{};
  std::memset(order.TradingDay, 'D', sizeof order.TradingDay);  // no terminator
  std::strcpy(order.UserID, "u1");
  const std::string text = CQVPrintHelper::toText(&order, true, ",", 2);
  EXPECT_EQ(text.rfind("TradingDay:\"DDDDDDDDD\",UserID:\"u1\",", 0), 0u) << text;
  EXPECT_EQ(printMap(order).at("TradingDay"), "DDDDDDDDD");

  CQVTransferAssetField transfer{};
  std::memset(transfer.Message, 'm', sizeof transfer.Message);
  EXPECT_EQ(printMap(transfer).at("Message"), std::string(260, 'm'));
}

TEST(PrintText, NullRecordPrintsNothing) {
  Map out{{"kept", "1"}};
  CQVPrintHelper::toMap(out, static_cast<const CQVOrderField*>(nullptr), 2);
  EXPECT_EQ(out, (Map{{"kept", "1"}}));
  const CQVOrderField order{};
  CQVPrintHelper::toText(&order, true, ",", 2);
  EXPECT_STREQ(CQVPrintHelper::toText(static_cast<const CQVOrderField*>(nullptr), true, ",", 2), "");
}

TEST(PrintValues, IntegersCharactersAndBools) {
  CQVOrderField order{};
  order.SessionID = std::numeric_limits<int32_t>::min();
  order.OrderLocalTime = std::numeric_limits<int64_t>::min();
  order.Direction = '0';
  order.IsLimitOrder = true;
  const Map values = printMap(order);
  EXPECT_EQ(values.at("SessionID"), "-2147483648");
  EXPECT_EQ(values.at("OrderLocalTime"), "-9223372036854775808");
  EXPECT_EQ(values.at("Direction"), "0");
  EXPECT_EQ(values.at("OffsetFlag"), "");
  EXPECT_EQ(values.at("IsLimitOrder"), "1");
  EXPECT_EQ(values.at("IsBuyFromMarket"), "0");

  CThostFtdcTradingNoticeField notice{};  // SequenceSeries is a short
  notice.SequenceSeries = -12;
  EXPECT_EQ(printMap(notice).at("SequenceSeries"), "-12");
}

struct DoubleCase {
  double value;
  int precision;
  const char* text;
};

class PrintDouble : public testing::TestWithParam<DoubleCase> {};

TEST_P(PrintDouble, FixedDecimalsOrNoValueText) {
  CQVPositionField position{};
  position.LongTurnover = GetParam().value;
  EXPECT_EQ(printMap(position, GetParam().precision).at("LongTurnover"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrintDouble,
    testing::Values(DoubleCase{3.14159, 2, "3.14"}, DoubleCase{3.14159, 3, "3.142"}, DoubleCase{0.0, 2, "0.00"},
                    DoubleCase{0.0, 0, "0"}, DoubleCase{2.675, 2, "2.67"},  // 2.675 is 2.67499999... in binary
                    DoubleCase{-1234567.891, 1, "-1234567.9"}, DoubleCase{1e15, 2, "1000000000000000.00"},
                    DoubleCase{3.7, -1, "4"},  // a negative precision counts as 0
                    DoubleCase{DBL_MAX, 2, "1.79e+308"}, DoubleCase{DBL_MAX, 0, "1.79e+308"},
                    DoubleCase{std::numeric_limits<double>::infinity(), 3, "1.79e+308"},
                    DoubleCase{std::numeric_limits<double>::quiet_NaN(), 2, "1.79e+308"},
                    DoubleCase{-std::numeric_limits<double>::quiet_NaN(), 0, "1.79e+308"}));

TEST(PrintValues, LargeDoublesAndPrecisionsMatchCFormatting) {
  // Just below the no-value threshold every digit is still printed; very long precisions take a
  // different path through the formatter. The C library's "%.*f" is the reference.
  for (const auto& [value, precision] : std::vector<std::pair<double, int>>{
           {std::nextafter(DBL_MAX, 0.0), 2}, {-DBL_MAX, 1}, {0.1, 70}, {-123.456, 200}, {1e300, 0}}) {
    char expected[1024];
    std::snprintf(expected, sizeof expected, "%.*f", precision, value);
    CQVPositionField position{};
    position.ShortAverageCost = value;
    EXPECT_EQ(printMap(position, precision).at("ShortAverageCost"), expected) << value << " / " << precision;
  }
}

TEST(PrintValues, PrecisionsBeyondADoublesExpansionAreCutThere) {
  // The smallest double's exact expansion ends at the 1074th decimal: more adds only zeros, and a
  // precision near INT_MAX must not ask for gigabytes.
  char exact[1200];
  std::snprintf(exact, sizeof exact, "%.1074f", DBL_TRUE_MIN);
  for (int precision : {1074, 1075, 100000, std::numeric_limits<int>::max()}) {
    CQVPositionField position{};
    position.LongAverageCost = DBL_TRUE_MIN;
    EXPECT_EQ(printMap(position, precision).at("LongAverageCost"), exact) << precision;
    const std::string text = CQVPrintHelper::toText(&position, true, ";", precision);
    EXPECT_LT(text.size(), 64u * 1024) << precision;
  }
  EXPECT_NE(std::string(exact).back(), '0');
}

TEST(PrintValues, CtpNoValuePricesAndQuotedCodes) {
  CThostFtdcDepthMarketDataField depth{};
  std::strcpy(depth.InstrumentID, "rb2405");
  depth.LastPrice = 3500;
  depth.AskPrice1 = DBL_MAX;
  depth.Volume = 42;
  const std::string text = CQVPrintHelper::toText(&depth, true, " || ", 2);
  EXPECT_EQ(text.rfind("TradingDay:\"\" || InstrumentID:\"rb2405\" || ", 0), 0u) << text;
  EXPECT_NE(text.find(" || LastPrice:3500.00 || "), std::string::npos);
  EXPECT_NE(text.find(" || Volume:42 || "), std::string::npos);
  EXPECT_NE(text.find(" || AskPrice1:1.79e+308 || "), std::string::npos);

  CThostFtdcTradeField trade{};
  trade.Direction = '1';
  EXPECT_NE(std::string(CQVPrintHelper::toText(&trade, false, "|", 2)).find("|\"1\"|"), std::string::npos);
}

TEST(PrintMap, ExistingKeysKeepTheirValues) {
  CQVPositionField position{};
  std::strcpy(position.TradingDay, "20240105");
  std::strcpy(position.StandardID, "IF2401");
  position.LongVolume = 3;
  Map out{{"TradingDay", "earlier"}, {"Unrelated", "x"}};
  CQVPrintHelper::toMap(out, &position, 2);
  EXPECT_EQ(out.at("TradingDay"), "earlier");
  EXPECT_EQ(out.at("Unrelated"), "x");
  EXPECT_EQ(out.at("StandardID"), "IF2401");
  EXPECT_EQ(out.at("LongVolume"), "3");
  EXPECT_EQ(out.size(), 2u + 21u);
}

TEST(PrintBuffers, TypesAreIndependentAndSameTypeIsOverwritten) {
  CQVOrderField order{};
  std::strcpy(order.StandardID, "first");
  CQVPositionField position{};
  std::strcpy(position.StandardID, "position");

  const char* orderText = CQVPrintHelper::toText(&order, false, ",", 2);
  const std::string orderCopy = orderText;
  const char* positionText = CQVPrintHelper::toText(&position, false, ",", 2);
  EXPECT_NE(static_cast<const void*>(orderText), static_cast<const void*>(positionText));
  EXPECT_EQ(orderText, orderCopy);

  std::strcpy(order.StandardID, "second");
  const char* again = CQVPrintHelper::toText(&order, false, ",", 2);
  EXPECT_NE(std::string(orderText).find("\"second\""), std::string::npos) << orderText;
  EXPECT_EQ(std::string(again), std::string(orderText));
}

// Several threads print their own orders of the same type at once, many times each, and check
// every result against a text computed before the threads started. A shared buffer, or a result
// built into one thread's text by another, shows up as a mismatch here (and as a race under
// ThreadSanitizer).
TEST(PrintBuffers, ConcurrentCallersOfOneTypeGetTheirOwnResults) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  std::vector<CQVOrderField> orders(kThreads);
  std::vector<std::string> heads(kThreads), tails(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    CQVOrderField& order = orders[t];
    order = CQVOrderField{};
    std::snprintf(order.StandardID, sizeof order.StandardID, "instrument-%d", t);
    std::memset(order.Message, 'a' + t, 40 * t);
    order.OriginalPrice = 1.5 * t;
    order.OrderID = 7;
    const std::string text = CQVPrintHelper::toText(&order, true, " || ", 2);
    const size_t at = text.find("OrderID:7 || ");
    ASSERT_NE(at, std::string::npos);
    heads[t] = text.substr(0, at + 8);
    tails[t] = text.substr(at + 9);
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CQVOrderField order = orders[t];
      for (int round = 0; round < kRounds; ++round) {
        order.OrderID = round;
        const char* text = CQVPrintHelper::toText(&order, true, " || ", 2);
        if (text != heads[t] + std::to_string(round) + tails[t]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace

// The market-data client's subscription book: grouping by exchange, sending each change once, the
// "U" set of instruments whose exchange is unknown and the replay after a login.
#include <gtest/gtest.h>

#include <cstring>

#include "base/text.h"
#include "fake_clients.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

using testing::FakeMdClient;
using Codes = std::vector<std::string>;

void enter(const char* id, const char* exchange) {
  CThostFtdcInstrumentField record{};
  copyText(record.InstrumentID, sizeof record.InstrumentID, id);
  copyText(record.ExchangeID, sizeof record.ExchangeID, exchange);
  enterInstrument(record);
}

int32_t subscribe(MdClient& md, const char* exchange, std::vector<const char*> codes) {
  return md.subscribe(exchange, const_cast<char**>(codes.data()), static_cast<int32_t>(codes.size()), '0');
}

int32_t unsubscribe(MdClient& md, const char* exchange, std::vector<const char*> codes) {
  return md.unsubscribe(exchange, const_cast<char**>(codes.data()), static_cast<int32_t>(codes.size()),
                        '0');
}

TEST(SubscriptionBook, OneCallSendsOnePerExchange) {
  FakeMdClient md;
  for (const char* code : {"mdS1", "mdS2", "mdS3"}) enter(code, "SHFE");
  for (const char* code : {"mdD1", "mdD2"}) enter(code, "DCE");
  md.sendResult = 3;
  EXPECT_EQ(subscribe(md, nullptr, {"mdS1", "mdD1", "mdS2", "mdD2", "mdS3"}), 6);
  ASSERT_EQ(md.sends.size(), 2u);
  for (const auto& send : md.sends) {
    EXPECT_TRUE(send.subscribing);
    if (send.key == "SHFE") EXPECT_EQ(send.codes, (Codes{"mdS1", "mdS2", "mdS3"}));
    else EXPECT_EQ(send.codes, (Codes{"mdD1", "mdD2"})) << send.key;
  }
  EXPECT_EQ(md.bookedCodes("DCE.0"), (Codes{"mdD1", "mdD2"}));
  EXPECT_EQ(md.bookedCodes("SHFE.0"), (Codes{"mdS1", "mdS2", "mdS3"}));
}

TEST(SubscriptionBook, SendsOnlyWhatChangesTheBook) {
  FakeMdClient md;
  EXPECT_EQ(subscribe(md, "SHFE", {"rb1", nullptr, "rb1"}), 0);
  EXPECT_EQ(subscribe(md, "SHFE", {"rb1"}), 0);
  EXPECT_EQ(unsubscribe(md, "SHFE", {"never"}), 0);
  EXPECT_EQ(subscribe(md, "NYSE", {"ibm"}), 0);  // no such book key: ignored
  ASSERT_EQ(md.sends.size(), 1u);
  EXPECT_EQ(md.sends[0].codes, Codes{"rb1"});
  EXPECT_EQ(unsubscribe(md, "SHFE", {"rb1"}), 0);
  ASSERT_EQ(md.sends.size(), 2u);
  EXPECT_FALSE(md.sends[1].subscribing);
  EXPECT_TRUE(md.bookedCodes("SHFE.0").empty());
  EXPECT_TRUE(md.bookedCodes("NYSE.0").empty());
}

TEST(SubscriptionBook, EmptyOrNullRequestsChangeNothing) {
  FakeMdClient md;
  char* codes[] = {const_cast<char*>("rb1")};
  EXPECT_EQ(md.subscribe("SHFE", codes, 0, '0'), 0);
  EXPECT_EQ(md.subscribe("SHFE", codes, -3, '0'), 0);
  EXPECT_EQ(md.unsubscribe("SHFE", nullptr, 5, '0'), 0);
  EXPECT_TRUE(md.sends.empty());
  EXPECT_TRUE(md.bookedCodes("SHFE.0").empty());
}

TEST(SubscriptionBook, ReplayMovesKnownInstrumentsOutOfUAndDropsTheRest) {
  FakeMdClient md;
  EXPECT_EQ(subscribe(md, nullptr, {"mdLate1", "mdGone1"}), 0);
  EXPECT_EQ(subscribe(md, "U", {"mdLate2"}), 0);  // an exchange starting with 'U' means unknown
  EXPECT_EQ(md.bookedCodes("U.0"), (Codes{"mdGone1", "mdLate1", "mdLate2"}));
  subscribe(md, "CZCE", {"SR1"});
  enter("mdLate1", "INE");
  enter("mdLate2", "INE");
  md.sends.clear();

  EXPECT_EQ(md.subscribe(nullptr, nullptr, 0, '0'), 0);
  EXPECT_TRUE(md.bookedCodes("U.0").empty());
  EXPECT_EQ(md.bookedCodes("INE.0"), (Codes{"mdLate1", "mdLate2"}));
  ASSERT_EQ(md.sends.size(), 2u);  // one per non-empty key
  for (const auto& send : md.sends) {
    if (send.key == "INE.0") EXPECT_EQ(send.codes, (Codes{"mdLate1", "mdLate2"}));
    else EXPECT_EQ(send.key, "CZCE.0");
  }
}

TEST(MdSlots, OnlyTheirOwnIdsHaveSlots) {
  FakeMdClient md;
  EXPECT_NE(md.snapshotSlot(10010), nullptr);
  EXPECT_NE(md.snapshotSlot(10011), nullptr);
  EXPECT_EQ(md.snapshotSlot(10012), nullptr);
  EXPECT_EQ(md.detailSlot(10011), nullptr);
  EXPECT_NE(md.detailSlot(10015), nullptr);
  EXPECT_EQ(md.detailSlot(10016), nullptr);
  EXPECT_EQ(md.state(), '1');
}

}  // namespace
}  // namespace qv

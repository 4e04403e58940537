// The exports as a host calls them: each reaches the right slot with its arguments in order,
// looks instruments up as its kind requires, returns records at holder address + 8, and a null
// handle gives the documented value without reaching anything.
#include <gtest/gtest.h>

#include <cstring>

#include "../trading/fake_clients.h"
#include "api/client_registry.h"
#include "api/exports.h"
#include "base/text.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

using testing::FakeMdClient;
using testing::FakeTraderClient;

class Exports : public ::testing::Test {
 protected:
  Exports() { api::clientRegistry().TEST_admit(&client); }
  ~Exports() override { api::clientRegistry().TEST_forget(&client); }

  static void SetUpTestSuite() {
    CThostFtdcInstrumentField record{};
    copyText(record.InstrumentID, sizeof record.InstrumentID, "exA");
    copyText(record.ExchangeID, sizeof record.ExchangeID, "DCE");
    enterInstrument(record);
  }

  const testing::SlotCall& onlyCall() {
    EXPECT_EQ(client.calls.size(), 1u);
    static const testing::SlotCall none{-1, ""};
    return client.calls.empty() ? none : client.calls.back();
  }
  CQVOrderField* lastRecord() { return &client.orders.back().record; }

  FakeTraderClient client;
};

TEST_F(Exports, LookingUpOrdersReachTheirSlotsWithArgumentsInOrder) {
  struct Case {
    int slot;
    CQVOrderField* (*call)(QvHandle);
    const char* args;
  };
  const Case cases[] = {
      {8, [](QvHandle h) { return ::buy(h, "exA", 3, '0', 10.5, 7, "DCE", 1); }, "exA.DCE|3|0|10.5|7|1"},
      {11, [](QvHandle h) { return ::sell(h, "exA", 4, 'B', 9, 8, nullptr, 0); }, "exA.DCE|4|B|9|8|0"},
      {9, [](QvHandle h) { return ::buyAmount(h, "exA", 1e4, 'G', 1, 2, nullptr, 0); }, "exA.DCE|10000|G|1|2|0"},
      {12, [](QvHandle h) { return ::sellAmount(h, "exA", 2e4, 'G', 1, 2, nullptr, 0); }, "exA.DCE|20000|G|1|2|0"},
      {10, [](QvHandle h) { return ::buyRatio(h, "exA", 0.5, '0', 1, 2, nullptr, 9); }, "exA.DCE|0.5|0|1|2|9"},
      {13, [](QvHandle h) { return ::sellRatio(h, "exA", 0.25, '0', 1, 2, nullptr, 9); }, "exA.DCE|0.25|0|1|2|9"},
      {16, [](QvHandle h) { return ::balanceToLongValue(h, "exA", 5e3, '0', 2, 3, nullptr); }, "exA.DCE|5000|0|2|3"},
      {17, [](QvHandle h) { return ::balanceToLongVolume(h, "exA", 6, '0', 2, 3, nullptr); }, "exA.DCE|6|0|2|3"},
      {18, [](QvHandle h) { return ::balanceToShortValue(h, "exA", 7e3, '0', 2, 3, nullptr); }, "exA.DCE|7000|0|2|3"},
      {19, [](QvHandle h) { return ::balanceToShortVolume(h, "exA", 8, '0', 2, 3, nullptr); }, "exA.DCE|8|0|2|3"},
  };
  for (const Case& c : cases) {
    client.calls.clear();
    CQVOrderField* record = c.call(&client);
    ASSERT_EQ(client.calls.size(), 1u) << "slot " << c.slot;
    EXPECT_EQ(client.calls[0].slot, c.slot);
    EXPECT_EQ(client.calls[0].args, c.args) << "slot " << c.slot;
    EXPECT_EQ(record, lastRecord());
    EXPECT_EQ(reinterpret_cast<char*>(record), reinterpret_cast<char*>(&client.orders.back()) + 8);
  }
}

TEST_F(Exports, UnknownInstrumentOrNullHandleReachesNothing) {
  EXPECT_EQ(::buy(&client, "nope", 1, '0', 1, 0, nullptr, 0), nullptr);
  EXPECT_EQ(::buy(&client, "exA", 1, '0', 1, 0, "SHFE", 0), nullptr);  // known only on DCE
  EXPECT_EQ(::balanceToShortVolume(&client, nullptr, 1, '0', 1, 0, nullptr), nullptr);
  EXPECT_TRUE(client.calls.empty());
  EXPECT_EQ(::buy(nullptr, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
  EXPECT_EQ(::buyOpen(nullptr, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
  EXPECT_EQ(::closeLong(nullptr, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
  EXPECT_EQ(::getOrder(nullptr, 1), nullptr);
  EXPECT_EQ(::getPosition(nullptr, "exA", nullptr), nullptr);
  EXPECT_EQ(::getUsableCash(nullptr), -1.0);
  EXPECT_EQ(::transferCash(nullptr, '0', 1, "a", "b", "c"), nullptr);
  EXPECT_EQ(::cancelOrderAll(nullptr), -1002000);
  EXPECT_EQ(::subscribeOne(nullptr, "exA", nullptr), -1002000);
  EXPECT_EQ(::setOrderEventCallback(nullptr, 10003, nullptr), -1002000);
}

TEST_F(Exports, ExplicitOpensLookUpOnlyWithoutAnExchange) {
  ::buyOpen(&client, "exA", 2, '0', 3.5, 4, nullptr, 0);
  EXPECT_EQ(onlyCall().slot, 4);
  EXPECT_EQ(onlyCall().args, "exA.DCE|DCE|exA|2|0|3.5|4");
  client.calls.clear();
  ::sellOpen(&client, "exA", 2, '0', 3.5, 4, "CZCE", 0, 0);
  EXPECT_EQ(onlyCall().slot, 6);
  EXPECT_EQ(onlyCall().args, "null|CZCE|exA|2|0|3.5|4");
  client.calls.clear();
  EXPECT_NE(::buyClose(&client, "unknown", 1, '0', 2, 3, nullptr, 5, '3', 99), nullptr);
  EXPECT_EQ(onlyCall().slot, 7);
  EXPECT_EQ(onlyCall().args, "null|null|unknown|1|0|2|3|5|3|99");
  client.calls.clear();
  ::sellClose(&client, "exA", 1, '0', 2, 3, nullptr, 5, '4', 99);
  EXPECT_EQ(onlyCall().slot, 5);
  EXPECT_EQ(onlyCall().args, "exA.DCE|DCE|exA|1|0|2|3|5|4|99");
}

TEST_F(Exports, ClosesPassTheTextsExchangeFirstWithoutLookup) {
  ::closeLong(&client, "nope", 2, '0', 1, 64, nullptr, 1);
  EXPECT_EQ(onlyCall().slot, 14);
  EXPECT_EQ(onlyCall().args, "null|nope|2|0|1|64|1");
  client.calls.clear();
  ::closeShort(&client, nullptr, 2, '0', 1, 99, "SHFE", 0);
  EXPECT_EQ(onlyCall().slot, 15);
  EXPECT_EQ(onlyCall().args, "SHFE|null|2|0|1|99|0");
}

TEST_F(Exports, CancelTransferAndPasswordExportsForward) {
  client.cancelResult = -9;
  EXPECT_EQ(::cancelOrder(&client, "SHFE", "rb", "sys", 42, 0, 0), -9);
  EXPECT_EQ(onlyCall().args, "SHFE|rb|sys|42|0|0");
  EXPECT_EQ(::cancelOrderByOrderID(&client, 42), -1);  // not working
  client.calls.clear();
  CQVTransferAssetField* transfer = ::transferCash(&client, 'a', 12.5, "ap", "bk", "bp");
  EXPECT_EQ(reinterpret_cast<char*>(transfer), reinterpret_cast<char*>(&client.transfer) + 8);
  EXPECT_EQ(onlyCall().slot, 20);
  EXPECT_EQ(onlyCall().args, "a|12.5|ap|bk|bp");
  EXPECT_EQ(::transferPosition(&client, '0', "rb", "SHFE", 1, "p", "t"), nullptr);
  client.calls.clear();
  EXPECT_EQ(::updatePassword(&client, '1', "old", "new"), 7);
  EXPECT_EQ(onlyCall().slot, 22);
  EXPECT_EQ(onlyCall().args, "1|old|new");
}

TEST_F(Exports, BookQueriesFindWhatTheClientHolds) {
  OrderHolder order{};
  order.record.OrderID = 3000123;
  client.TEST_addOrder(&order, false);
  EXPECT_EQ(::getOrder(&client, 3000123), &order.record);
  EXPECT_EQ(::getOrder(&client, 3000124), nullptr);

  PositionHolder position{};
  client.TEST_addPosition("exA.DCE", &position);
  EXPECT_EQ(::getPosition(&client, "exA", "DCE"), &position.record);
  EXPECT_EQ(::getPosition(&client, "exA", nullptr), nullptr);  // never creates one
  EXPECT_EQ(::getPosition(&client, nullptr, "DCE"), nullptr);

  client.TEST_setUsableCash(1234.5);
  EXPECT_EQ(::getUsableCash(&client), 1234.5);
}

TEST_F(Exports, MarketDataExportsNeedAMarketDataClient) {
  const char* codes[] = {"rb1", "rb2"};
  EXPECT_EQ(::subscribe(&client, const_cast<char**>(codes), 2, "SHFE", '0'), -1002100);
  EXPECT_EQ(::unsubscribeOne(&client, "rb1", "SHFE"), -1002100);
  EXPECT_EQ(::setSnapDataEventCallback(&client, 10010, nullptr), -1002100);
  EXPECT_EQ(::setDetailDataEventCallback(&client, 10012, nullptr), -1002100);

  FakeMdClient md(&client.login());
  client.attachMdClient(&md);
  md.sendResult = 2;
  EXPECT_EQ(::subscribe(&client, const_cast<char**>(codes), 2, "SHFE", '0'), 2);
  EXPECT_EQ(::subscribeOne(&client, "rb3", "SHFE"), 2);
  EXPECT_EQ(md.bookedCodes("SHFE.0"), (std::vector<std::string>{"rb1", "rb2", "rb3"}));
  EXPECT_EQ(::unsubscribeOne(&client, "rb3", "SHFE"), 2);
  EXPECT_EQ(::unsubscribe(&client, const_cast<char**>(codes), 2, "SHFE", '0'), 2);
  EXPECT_TRUE(md.bookedCodes("SHFE.0").empty());
  EXPECT_EQ(::subscribe(&client, const_cast<char**>(codes), 2, "SHFE", '1'), 0);  // no such key
}

TEST_F(Exports, SettersCheckTheIdBeforeTheObject) {
  EXPECT_EQ(::setOrderEventCallback(&client, 10002, nullptr), -10002800);
  EXPECT_EQ(::setOrderEventCallback(&client, 10010, nullptr), -10002800);
  FakeMdClient md(&client.login());
  client.attachMdClient(&md);
  EXPECT_EQ(::setSnapDataEventCallback(&client, 10012, nullptr), -10003000);
  EXPECT_EQ(::setSnapDataEventCallback(&client, 10009, nullptr), -10003000);
  EXPECT_EQ(::setDetailDataEventCallback(&client, 10011, nullptr), -10003100);
  EXPECT_EQ(::setDetailDataEventCallback(&client, 10016, nullptr), -10003100);
  // A known id with nothing to register is refused and leaves the slot empty.
  EXPECT_EQ(::setOrderEventCallback(&client, 10009, nullptr), -10002900);
  EXPECT_EQ(client.orderEventSlot(10009)->get(), nullptr);
}

TEST_F(Exports, QueuedRequestsGoThroughTheClientsTaskQueue) {
  EXPECT_EQ(::queryBankAccountCash(nullptr, "a", "b", "c"), -1002000);
  EXPECT_EQ(::addTask(nullptr, 11201, nullptr, 1, 0, 0, 0), -1002000);
  std::string overlong(500, 'p');
  EXPECT_EQ(::queryBankAccountCash(&client, overlong.c_str(), overlong.c_str(), nullptr), 0);
  EXPECT_EQ(::addTask(&client, 11201, nullptr, 1, 0, 0, 0), 0);
  EXPECT_EQ(client.taskQueue().size(), 2u);
}

TEST_F(Exports, AHandleInitDidNotHandOutReachesNothing) {
  // A client the registry never admitted: a well-formed object the exports must still not trust.
  FakeTraderClient stranger;
  OrderHolder order{};
  alignas(16) unsigned char zeros[512] = {};
  for (QvHandle handle :
       {static_cast<QvHandle>(&stranger), reinterpret_cast<QvHandle>(zeros),
        reinterpret_cast<QvHandle>(uintptr_t{16}), reinterpret_cast<QvHandle>(&order.record)}) {
    EXPECT_EQ(::buy(handle, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
    EXPECT_EQ(::closeLong(handle, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
    EXPECT_EQ(::getOrder(handle, 1), nullptr);
    EXPECT_EQ(::getUsableCash(handle), -1.0);
    EXPECT_EQ(::cancelOrderAll(handle), -1002000);
    EXPECT_EQ(::subscribeOne(handle, "exA", nullptr), -1002000);
    EXPECT_EQ(::setOrderEventCallback(handle, 10003, nullptr), -1002000);
    EXPECT_EQ(::addTask(handle, 11201, nullptr, 1, 0, 0, 0), -1002000);
    EXPECT_EQ(::updatePassword(handle, '1', "a", "b"), -1002000);
    ::exitX(handle);
  }
  EXPECT_TRUE(stranger.calls.empty());
  EXPECT_EQ(stranger.sessionState(), client.sessionState());
}

TEST_F(Exports, OrderMarksOutsideTheTwoDigitsOfAnOrderIdAreRefused) {
  for (int16_t mark : {int16_t{-1}, int16_t{100}, int16_t{-100}, int16_t{32767}, int16_t{-32768}}) {
    EXPECT_EQ(::buy(&client, "exA", 1, '0', 1, mark, nullptr, 0), nullptr) << mark;
    EXPECT_EQ(::buyOpen(&client, "exA", 1, '0', 1, mark, nullptr, 0), nullptr) << mark;
    EXPECT_EQ(::sellClose(&client, "exA", 1, '0', 1, mark, "DCE", 0, '1', 0), nullptr) << mark;
    EXPECT_EQ(::closeShort(&client, "exA", 1, '0', 1, mark, nullptr, 0), nullptr) << mark;
  }
  EXPECT_TRUE(client.calls.empty());
  EXPECT_NE(::buy(&client, "exA", 1, '0', 1, 0, nullptr, 0), nullptr);
  EXPECT_NE(::buy(&client, "exA", 1, '0', 1, 99, nullptr, 0), nullptr);
}

TEST_F(Exports, SubscriptionTextsAreReadOnlyAsFarAsACodeCanReach) {
  FakeMdClient md(&client.login());
  client.attachMdClient(&md);
  // Codes and an exchange with no terminator anywhere in reach: only their field widths are read.
  std::vector<char> endless(64 * 1024, 'x');
  char* codes[] = {endless.data(), nullptr};
  EXPECT_EQ(::subscribe(&client, codes, 2, nullptr, '0'), 0);
  EXPECT_EQ(md.bookedCodes("U.0"), (std::vector<std::string>{std::string(30, 'x')}));
  EXPECT_EQ(::subscribeOne(&client, "rb1", endless.data()), 0);  // no book under that exchange
  EXPECT_EQ(::unsubscribeOne(&client, endless.data(), nullptr), 0);
  EXPECT_TRUE(md.bookedCodes("U.0").empty());
  // A count no instrument list reaches is refused before the array is read.
  EXPECT_EQ(::subscribe(&client, codes, 1 << 30, "SHFE", '0'), -1002400);
  EXPECT_EQ(::unsubscribe(&client, codes, INT32_MAX, "SHFE", '0'), -1002400);
}

TEST(Time, AnchorsFarFromNowSaturateInsteadOfOverflowing) {
  EXPECT_EQ(::getTimeElapse(INT64_MIN), INT64_MAX);
  EXPECT_LT(::getTimeElapse(INT64_MAX), 0);
  EXPECT_GT(::getTimeElapse(INT64_MIN + 1), 0);
}

TEST(Time, ElapsedSinceAnAnchorIsSmallAndNotNegative) {
  int64_t anchor = ::setTimeAnchor();
  int64_t elapsed = ::getTimeElapse(anchor);
  EXPECT_GE(anchor, 0);
  EXPECT_GE(elapsed, 0);
  EXPECT_LT(elapsed, 5000000);
  EXPECT_EQ(::setRunMode(49), 0);
  EXPECT_EQ(::setRunMode(48), 0);
}

}  // namespace
}  // namespace qv

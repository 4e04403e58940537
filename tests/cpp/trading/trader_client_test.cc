// TraderClient's base: the login copy it keeps, the order-id range it owns, its book look-ups and
// the cancel-by walks over working orders.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "base/clock.h"
#include "base/reentrant_lock.h"
#include "base/text.h"
#include "fake_clients.h"

namespace qv {
namespace {

using testing::FakeTraderClient;

CQVLoginField loginWith(int64_t gap, int64_t timeout) {
  CQVLoginField login{};
  copyText(login.UserID, "u1");
  login.TaskExecuteGap = gap;
  login.TaskExecuteTimeout = timeout;
  return login;
}

TEST(LoginCopy, AppliesDefaultsAndLeavesTheHostRecordAlone) {
  CQVLoginField login = loginWith(-1, 0);
  FakeTraderClient client(0, &login);
  EXPECT_EQ(client.login().TaskExecuteGap, 1000000);
  EXPECT_EQ(client.login().TaskExecuteTimeout, 10000000);
  EXPECT_STREQ(client.login().BasePath, ".");
  EXPECT_STREQ(client.login().InvestorID, "u1");
  EXPECT_EQ(login.TaskExecuteGap, -1);
  EXPECT_EQ(login.BasePath[0], '\0');
}

TEST(LoginCopy, KeepsValuesThatNeedNoDefault) {
  CQVLoginField login = loginWith(0, 25000000);
  copyText(login.BasePath, "/data/flows");
  copyText(login.InvestorID, "inv");
  CQVLoginField copy = normalisedLogin(login);
  EXPECT_EQ(copy.TaskExecuteGap, 0);  // only -1 is replaced
  EXPECT_EQ(copy.TaskExecuteTimeout, 25000000);
  EXPECT_STREQ(copy.BasePath, "/data/flows");
  EXPECT_STREQ(copy.InvestorID, "inv");
  EXPECT_EQ(normalisedLogin(loginWith(-2, 9999999)).TaskExecuteGap, -2);
  EXPECT_EQ(normalisedLogin(loginWith(-2, 9999999)).TaskExecuteTimeout, 10000000);
}

TEST(LoginCopy, TextsThatFillTheirArrayAreTerminated) {
  CQVLoginField login{};
  std::memset(login.UserID, 'x', sizeof login.UserID);
  std::memset(login.TerminalInfo, 'y', sizeof login.TerminalInfo);
  CQVLoginField copy = normalisedLogin(login);
  EXPECT_EQ(std::strlen(copy.UserID), sizeof copy.UserID - 1);
  EXPECT_EQ(std::strlen(copy.TerminalInfo), sizeof copy.TerminalInfo - 1);
  EXPECT_EQ(std::strlen(copy.InvestorID), sizeof copy.InvestorID - 1);  // taken from UserID
}

TEST(OrderIds, RangeFollowsTheClientIndex) {
  FakeTraderClient three(3);
  EXPECT_EQ(three.orderCounter(), 30000);
  EXPECT_EQ(three.orderIdMin(), 3000000);
  EXPECT_EQ(three.orderIdMax(), 12000000);
  EXPECT_TRUE(three.isOwnOrderRef(3000000));
  EXPECT_TRUE(three.isOwnOrderRef(12000000));
  EXPECT_FALSE(three.isOwnOrderRef(2999999));
  EXPECT_FALSE(three.isOwnOrderRef(12000001));

  FakeTraderClient last(99);
  EXPECT_EQ(last.orderCounter(), 990000);
  EXPECT_EQ(last.orderIdMax(), 99000000 + 9000000);
}

TEST(Construction, StartsCreatedWithNoCashAndNoMarketData) {
  FakeTraderClient client;
  EXPECT_EQ(client.sessionState(), '1');
  EXPECT_EQ(client.usableCash(), 0.0);
  EXPECT_EQ(client.mdClient(), nullptr);
  EXPECT_EQ(client.snapshotMap(), nullptr);
  EXPECT_EQ(client.responseFallback(), nullptr);
  EXPECT_EQ(client.orderEventSlot(10002), nullptr);
  EXPECT_EQ(client.orderEventSlot(10010), nullptr);
  ASSERT_NE(client.orderEventSlot(10009), nullptr);
  EXPECT_NE(client.orderEventSlot(10003), client.orderEventSlot(10004));
  EXPECT_EQ(client.transferPosition('0', "a", "b", 1, "c", "d"), nullptr);
}

TEST(Construction, AttachingMarketDataLinksItsSnapshotMap) {
  FakeTraderClient client;
  testing::FakeMdClient md;
  client.attachMdClient(&md);
  EXPECT_EQ(client.mdClient(), &md);
  EXPECT_EQ(client.snapshotMap(), &md.snapshots());
}

// The book: orders are found by id; a look-up runs safely while another thread inserts.
TEST(OrderBook, LookupsStayCorrectWhileAnotherThreadInserts) {
  FakeTraderClient client;
  constexpr int kOrders = 20000;
  std::deque<OrderHolder> holders(kOrders);
  for (int i = 0; i < kOrders; ++i) holders[i].record.OrderID = i + 1;
  std::atomic<int> inserted{0};
  std::thread writer([&] {
    for (int i = 0; i < kOrders; ++i) {
      client.TEST_addOrder(&holders[i], false);
      inserted.store(i + 1, std::memory_order_release);
    }
  });
  int wrong = 0;
  while (inserted.load(std::memory_order_acquire) < kOrders) {
    int known = inserted.load(std::memory_order_acquire);
    if (known > 0 && client.findOrder(known) != &holders[known - 1]) ++wrong;
  }
  writer.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(client.findOrder(kOrders), &holders[kOrders - 1]);
  EXPECT_EQ(client.findOrder(kOrders + 1), nullptr);
}

class CancelWalk : public ::testing::Test {
 protected:
  void SetUp() override { client.TEST_setSession(7, 70); }

  void add(int32_t id, const char* exchange, const char* instrument, char status,
           bool working = true) {
    OrderHolder& holder = holders.emplace_back();
    CQVOrderField& r = holder.record;
    r.OrderID = id;
    copyText(r.ExchangeID, exchange);
    copyText(r.StandardID, instrument);
    copyText(r.OrderSysID, ("sys" + std::to_string(id)).c_str());
    r.FrontID = 1;
    r.SessionID = 10 + id;
    r.OrderStatus = status;
    client.TEST_addOrder(&holder, working);
  }
  std::vector<std::string> sent() const {
    std::vector<std::string> args;
    for (const auto& call : client.calls) {
      EXPECT_EQ(call.slot, 2);
      args.push_back(call.args);
    }
    std::sort(args.begin(), args.end());
    return args;
  }

  FakeTraderClient client;
  std::deque<OrderHolder> holders;
};

TEST_F(CancelWalk, NothingWorkingSendsNothing) {
  add(1, "SHFE", "rb2501", '4', false);
  EXPECT_EQ(client.cancelOrderAll(), 0);
  EXPECT_EQ(client.cancelOrderByOrderID(1), -1);
  EXPECT_EQ(client.cancelOrderByOrderID(99), -1);
  EXPECT_TRUE(client.calls.empty());
}

TEST_F(CancelWalk, ByOrderIdAsksTheOrderNotTheWorkingSet) {
  // Between a report that makes an order working and its entry in the set, the order's own
  // status already says working: a cancel by id made then must still be sent.
  add(1, "SHFE", "rb2501", '3', false);
  EXPECT_EQ(client.cancelOrderByOrderID(1), 0);
  EXPECT_EQ(sent(), std::vector<std::string>{"SHFE|rb2501|sys1|1|1|11"});
}

TEST_F(CancelWalk, AllUsesTheClientsSessionAndSkipsFinishedOrders) {
  add(1, "SHFE", "rb2501", '3');
  add(2, "DCE", "m2505", '4');
  client.cancelResult = 5;
  EXPECT_EQ(client.cancelOrderAll(), 5);
  EXPECT_EQ(sent(), std::vector<std::string>{"SHFE|rb2501|sys1|1|7|70"});
}

TEST_F(CancelWalk, SelectionsUseEachOrdersOwnSessionAndSumResults) {
  add(1, "SHFE", "rb2501", '3');
  add(2, "DCE", "rb2501", '3');
  add(3, "SHFE", "cu2501", '3');
  client.cancelResult = -2;
  EXPECT_EQ(client.cancelOrderByExchangeID("SHFE"), -4);
  EXPECT_EQ(sent(), (std::vector<std::string>{"SHFE|cu2501|sys3|3|1|13", "SHFE|rb2501|sys1|1|1|11"}));
  client.calls.clear();
  EXPECT_EQ(client.cancelOrderByStandardID("rb2501", nullptr), -4);  // every exchange
  EXPECT_EQ(sent(), (std::vector<std::string>{"DCE|rb2501|sys2|2|1|12", "SHFE|rb2501|sys1|1|1|11"}));
  client.calls.clear();
  EXPECT_EQ(client.cancelOrderByStandardID("rb2501", "DCE"), -2);
  EXPECT_EQ(client.cancelOrderByStandardID("rb250", nullptr), 0);  // exact match only
  EXPECT_EQ(client.cancelOrderByExchangeID(nullptr), 0);
  client.calls.clear();
  client.cancelResult = 0;
  EXPECT_EQ(client.cancelOrderByOrderID(3), 0);
  EXPECT_EQ(sent(), std::vector<std::string>{"SHFE|cu2501|sys3|3|1|13"});
  EXPECT_EQ(client.cancelOrderByOrderID(99), -1);
}

// A strategy cancels from inside an order event: this thread holds the order (and would hold its
// position) for writing while the walk runs. The walk must pass through the lock its own thread
// holds instead of waiting for ever, and still send the cancellation.
TEST_F(CancelWalk, WalkFromInsideAnEventOfTheSameOrderDoesNotWait) {
  add(1, "SHFE", "rb2501", '3');
  HolderWriteGuard<OrderHolder> heldByTheEvent(&holders.front());
  EXPECT_EQ(client.cancelOrderAll(), 0);
  EXPECT_EQ(client.cancelOrderByOrderID(1), 0);
  EXPECT_EQ(sent().size(), 2u);
}

// Another thread holds the order-book lock for writing only after it has been queued behind a
// held order: the walk lists the working orders and lets the book go before touching any order,
// so a thread that holds an order and waits to book cannot block it, nor be blocked by it.
TEST_F(CancelWalk, WalkDoesNotHoldTheBookWhileWaitingForAnOrder) {
  add(1, "SHFE", "rb2501", '3');
  std::atomic<bool> walked{false};
  std::thread walker;
  {
    HolderWriteGuard<OrderHolder> held(&holders.front());
    walker = std::thread([&] {
      client.cancelOrderAll();
      walked = true;
    });
    sleepMicros(20000);  // the walker now waits for the order held here
    add(2, "SHFE", "rb2501", '3');  // books an order: needs the book lock for writing
    EXPECT_FALSE(walked);
  }
  walker.join();
  EXPECT_TRUE(walked);
}

}  // namespace
}  // namespace qv

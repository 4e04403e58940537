// What this proves: with several host threads placing orders through order entry (opens, and
// automatic closes of either side) and cancelling them on one position while an exchange thread
// answers them (acceptance, fills as a trade report and an order report in
// either order, cancels with and without late trades), the book keeps its numbers exact. The
// exchange thread keeps a model (each fill's lots and price); at the end the position equals the
// model's sum of fills, no frozen counter was ever negative (checked inside every event, where the
// order and position are locked), usable cash equals the value recomputed from the fills, and
// every fill raised exactly one Traded event carrying its lots.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/reentrant_lock.h"
#include "book_engine.h"
#include "trading/order_engine.h"

namespace qv_test {
namespace {

constexpr int kHostThreads = 3;
constexpr int kOrdersPerThread = 120;
constexpr int32_t kStartLots = 300;
constexpr double kStartCash = 1e7;
constexpr double kMargin = 10 * 0.1;  // multiple x margin ratio of the instrument below

struct LiveOrder {
  qv::OrderHolder* order;
  int32_t traded = 0;
};

class Exchange {
 public:
  Exchange(BookEngine& engine, std::mt19937& random) : engine_(engine), random_(random) {}

  void accept(qv::OrderHolder* order) {
    engine_.onOrderReport(orderReport(order->record, '3', 0));
    live_.push_back({order});
  }

  // One fill of a random live order, or a cancel of one that a host asked to cancel.
  void step(std::vector<int32_t>& cancels) {
    if (!cancels.empty()) {
      const int32_t id = cancels.back();
      cancels.pop_back();
      for (size_t i = 0; i < live_.size(); ++i) {
        if (live_[i].order->record.OrderID == id) {
          cancel(i, random_() % 3 == 0);
          return;
        }
      }
      return;
    }
    if (live_.empty()) return;
    const size_t i = random_() % live_.size();
    LiveOrder& live = live_[i];
    const int32_t left = live.order->record.OriginalVolume - live.traded;
    fill(live, 1 + static_cast<int32_t>(random_() % left), random_() % 2 == 0);
    if (live.traded == live.order->record.OriginalVolume) live_.erase(live_.begin() + i);
  }

  bool idle() const { return live_.empty(); }
  double cashChange() const { return cashChange_; }
  int32_t longChange() const { return longChange_; }
  int32_t shortChange() const { return shortChange_; }
  int fills() const { return fills_; }
  int32_t lots() const { return lots_; }

 private:
  void fill(LiveOrder& live, int32_t lots, bool tradeFirst) {
    const CQVOrderField& r = live.order->record;
    const double price = r.OriginalPrice - static_cast<double>(random_() % 3);
    live.traded += lots;
    const char status = live.traded == r.OriginalVolume ? '0' : '1';
    const auto trade = tradeReport(r, lots, price, std::to_string(++tradeSeq_).c_str());
    const auto report = orderReport(r, status, live.traded);
    if (tradeFirst) engine_.onTradeReport(trade);
    engine_.onOrderReport(report);
    if (!tradeFirst) engine_.onTradeReport(trade);
    count(r, lots, price);
  }

  // Cancels the live order at `i`; with `lateTrade` a last fill travels in the cancel report
  // ahead of its trade report.
  void cancel(size_t i, bool lateTrade) {
    LiveOrder live = live_[i];
    live_.erase(live_.begin() + i);
    const CQVOrderField& r = live.order->record;
    const int32_t left = r.OriginalVolume - live.traded;
    if (lateTrade && left > 1) {
      const int32_t lots = 1 + static_cast<int32_t>(random_() % (left - 1));
      live.traded += lots;
      engine_.onOrderReport(orderReport(r, '5', live.traded));
      engine_.onTradeReport(
          tradeReport(r, lots, r.OriginalPrice, std::to_string(++tradeSeq_).c_str()));
      count(r, lots, r.OriginalPrice);
      return;
    }
    engine_.onOrderReport(orderReport(r, '5', live.traded));
  }

  void count(const CQVOrderField& r, int32_t lots, double price) {
    ++fills_;
    lots_ += lots;
    const double money = lots * price * kMargin;
    const bool opens = r.OffsetFlag == '0';
    const bool buys = r.Direction == '0';
    cashChange_ += opens ? -money : money;
    if (opens) {
      (buys ? longChange_ : shortChange_) += lots;
    } else {
      (buys ? shortChange_ : longChange_) -= lots;
    }
  }

  BookEngine& engine_;
  std::mt19937& random_;
  std::vector<LiveOrder> live_;
  int tradeSeq_ = 0;
  int fills_ = 0;
  int32_t lots_ = 0;
  double cashChange_ = 0;
  int32_t longChange_ = 0;
  int32_t shortChange_ = 0;
};

bool frozenSound(const CQVPositionField& p) {
  return p.LongVolumeHistoryFrozen >= 0 && p.LongVolumeTodayFrozen >= 0 &&
         p.ShortVolumeHistoryFrozen >= 0 && p.ShortVolumeTodayFrozen >= 0 &&
         p.LongVolumeFrozen == p.LongVolumeHistoryFrozen + p.LongVolumeTodayFrozen &&
         p.ShortVolumeFrozen == p.ShortVolumeHistoryFrozen + p.ShortVolumeTodayFrozen;
}

TEST(BookConcurrencyTest, HostsPlacingAndCancellingWhileFillsArriveKeepEveryNumberExact) {
  EventLog::clear();
  BookEngine& engine = keptBookEngine();
  EventLog::attach(engine);
  qv::InstrumentInfo* instrument = bookInstrument("cc1", "DCE");
  engine.setUsableCash(kStartCash);
  for (char direction : {'2', '3'}) {
    CThostFtdcInvestorPositionField record{};
    std::strcpy(record.InstrumentID, "cc1");
    std::strcpy(record.ExchangeID, "DCE");
    record.PosiDirection = direction;
    record.PositionDate = '2';
    record.Position = kStartLots;
    engine.loadPosition(record);
  }
  std::atomic<int> unsoundEvents{0};
  EventLog::setHook([&](const RecordedEvent& event) {
    if (event.position != nullptr && !frozenSound(*event.position)) ++unsoundEvents;
  });

  std::atomic<int> hostsRunning{kHostThreads};
  std::vector<std::thread> hosts;
  for (int t = 0; t < kHostThreads; ++t) {
    hosts.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      std::vector<int32_t> mine;
      for (int n = 0; n < kOrdersPerThread; ++n) {
        const int32_t lots = 1 + static_cast<int32_t>(random() % 5);
        qv::OrderHolder* order = nullptr;
        switch (random() % 4) {
          case 0: order = engine.buyOpen(instrument, "DCE", "cc1", lots, '0', 100, 0); break;
          case 1: order = engine.sellOpen(instrument, "DCE", "cc1", lots, '0', 100, 0); break;
          case 2:
            order = engine.sellClose(instrument, "DCE", "cc1", lots, '0', 100, 0, 0, '\0', 0);
            break;
          default:
            order = engine.buyClose(instrument, "DCE", "cc1", lots, '0', 100, 0, 0, '\0', 0);
            break;
        }
        if (order != nullptr) mine.push_back(order->record.OrderID);
        if (!mine.empty() && random() % 4 == 0) {
          engine.cancelOrderByOrderID(mine[random() % mine.size()]);
        }
        // Let the exchange answer meanwhile, so that sends, cancels and fills interleave.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      --hostsRunning;
    });
  }

  std::mt19937 random(7);
  Exchange exchange(engine, random);
  std::thread exchangeThread([&] {
    std::vector<int32_t> cancels;
    std::set<int32_t> seen;
    for (;;) {
      const bool hostsDone = hostsRunning.load() == 0;
      // Orders handed to the library (status '1') reach the exchange once.
      bool arrived = false;
      for (qv::OrderHolder* order : engine.orders()) {
        char status = 0;
        {
          qv::HolderReadGuard<qv::OrderHolder> guard(order);
          status = order->record.OrderStatus;
        }
        if (status == '1' && seen.insert(order->record.OrderID).second) {
          exchange.accept(order);
          arrived = true;
        }
      }
      for (int32_t id : engine.takeCancelRequests()) cancels.push_back(id);
      exchange.step(cancels);
      if (hostsDone && !arrived && cancels.empty() && exchange.idle()) break;
    }
  });
  for (std::thread& host : hosts) host.join();
  exchangeThread.join();

  const CQVPositionField& p = engine.positionOf(instrument)->record;
  EXPECT_EQ(p.LongVolume, kStartLots + exchange.longChange());
  EXPECT_EQ(p.ShortVolume, kStartLots + exchange.shortChange());
  EXPECT_EQ(p.LongVolume, p.LongVolumeHistory + p.LongVolumeToday);
  EXPECT_EQ(p.ShortVolume, p.ShortVolumeHistory + p.ShortVolumeToday);
  EXPECT_EQ(p.LongVolumeFrozen, 0);  // every order has ended
  EXPECT_EQ(p.ShortVolumeFrozen, 0);
  EXPECT_TRUE(frozenSound(p));
  EXPECT_EQ(unsoundEvents.load(), 0);
  EXPECT_NEAR(engine.usableCash(), kStartCash + exchange.cashChange(), 1e-6);
  EXPECT_EQ(engine.workingCount(), 0u);

  int traded = 0;
  int32_t tradedLots = 0;
  for (const RecordedEvent& event : EventLog::events()) {
    if (event.eventId != qv::kEventTraded) continue;
    ++traded;
    tradedLots += event.tradedVolumeChange;
  }
  EXPECT_GT(exchange.fills(), 50);
  EXPECT_EQ(traded, exchange.fills());
  EXPECT_EQ(tradedLots, exchange.lots());
  EventLog::clear();
}

}  // namespace
}  // namespace qv_test

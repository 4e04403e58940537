// Several host threads placing orders on one client at once. No reports arrive, so every freeze
// stays in place and the engine's counters must equal what a model rebuilt from the orders the
// library received says: each close order's lots frozen on the counter its offset flag names,
// each opening order's margin taken from usable cash, no lot frozen twice (the close walks reserve
// lots under the position's lock), and every order id given out once and found in the book.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "support/test_engine.h"

namespace qv {
namespace {

using qv_test::addInstrument;
using qv_test::TestEngine;

TEST(OrderEntryConcurrency, ParallelCallsFreezeExactlyWhatTheirOrdersTake) {
  InstrumentInfo* instruments[] = {addInstrument("oc1", "SHFE", 10, 0.1, 7, 1),
                                   addInstrument("oc2", "DCE", 5, 0.2, 7, 1)};
  // Lives until the process ends, as a client does (its holders are never freed).
  static TestEngine& engine = *new TestEngine(2);
  engine.setCash(1e9);
  for (InstrumentInfo* instrument : instruments) {
    CQVPositionField& p =
        engine.position(instrument->InstrumentID, instrument->ExchangeID)->record;
    p.LongVolumeHistory = p.ShortVolumeHistory = 40;
    p.LongVolumeToday = p.ShortVolumeToday = 30;
    p.LongVolume = p.ShortVolume = 70;
  }

  constexpr int kThreads = 4;
  constexpr int kCalls = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        InstrumentInfo* instrument = instruments[(i + t) % 2];
        const int volume = 1 + (i * 7 + t) % 9;
        switch ((i + t) % 4) {
          case 0: engine.buy(instrument, volume, '0', 100 + i, static_cast<int16_t>(t), 0); break;
          case 1: engine.sell(instrument, volume, '0', 100 + i, static_cast<int16_t>(t), 0); break;
          case 2: engine.closeShort(nullptr, nullptr, volume, '0', 100, 0, 1); break;
          default:
            engine.balanceToLongVolume(instrument, volume, '0', 100 + i, static_cast<int16_t>(t));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  struct Frozen {
    int longHistory = 0, longToday = 0, shortHistory = 0, shortToday = 0;
  };
  std::map<std::string, Frozen> model;
  std::map<std::string, const InstrumentInfo*> byCode;
  for (InstrumentInfo* instrument : instruments) byCode[instrument->InstrumentID] = instrument;
  double cash = 1e9;
  std::set<int32_t> ids;
  for (const CQVOrderField& r : engine.sent()) {
    EXPECT_TRUE(ids.insert(r.OrderID).second) << "OrderID given twice: " << r.OrderID;
    EXPECT_NE(engine.findOrder(r.OrderID), nullptr);
    const InstrumentInfo* instrument = byCode.at(r.StandardID);
    if (r.OffsetFlag == '0') {
      cash -= r.OriginalVolume * r.OriginalPrice * instrument->VolumeMultiple *
              instrument->marginRatio;
      continue;
    }
    Frozen& f = model[r.StandardID];
    const bool today = r.OffsetFlag == '3';
    int& counter = r.Direction == '1' ? (today ? f.longToday : f.longHistory)
                                      : (today ? f.shortToday : f.shortHistory);
    counter += r.OriginalVolume;
  }
  EXPECT_GT(ids.size(), static_cast<size_t>(kCalls));
  EXPECT_NEAR(engine.usableCash(), cash, 1e-3);
  for (InstrumentInfo* instrument : instruments) {
    const CQVPositionField& p =
        engine.position(instrument->InstrumentID, instrument->ExchangeID)->record;
    const Frozen& f = model[instrument->InstrumentID];
    EXPECT_EQ(p.LongVolumeHistoryFrozen, f.longHistory) << instrument->InstrumentID;
    EXPECT_EQ(p.LongVolumeTodayFrozen, f.longToday) << instrument->InstrumentID;
    EXPECT_EQ(p.ShortVolumeHistoryFrozen, f.shortHistory) << instrument->InstrumentID;
    EXPECT_EQ(p.ShortVolumeTodayFrozen, f.shortToday) << instrument->InstrumentID;
    EXPECT_EQ(p.LongVolumeFrozen, f.longHistory + f.longToday);
    EXPECT_EQ(p.ShortVolumeFrozen, f.shortHistory + f.shortToday);
    // Never more lots frozen than the side holds, on any counter.
    if (instrument->closeMode == '2') {
      EXPECT_LE(p.LongVolumeHistoryFrozen, p.LongVolumeHistory);
      EXPECT_LE(p.LongVolumeTodayFrozen, p.LongVolumeToday);
      EXPECT_LE(p.ShortVolumeHistoryFrozen, p.ShortVolumeHistory);
      EXPECT_LE(p.ShortVolumeTodayFrozen, p.ShortVolumeToday);
    }
    EXPECT_LE(p.LongVolumeFrozen, p.LongVolume);
    EXPECT_LE(p.ShortVolumeFrozen, p.ShortVolume);
  }
}

}  // namespace
}  // namespace qv

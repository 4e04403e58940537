// TestEngine: an OrderEngine whose library is a recorder, for tests of order entry and the order
// book without any CTP library. Every order handed to sendOrderRequest is recorded (a copy of its
// record at send time) and answered with a programmable result; the other session slots do
// nothing. Helpers put instruments into the process-wide table and snapshots into the engine's own
// snapshot map. Header-only; thread-safe where tests need it (the send log has its own lock).
#ifndef QV_TESTS_SUPPORT_TEST_ENGINE_H
#define QV_TESTS_SUPPORT_TEST_ENGINE_H

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "records/cqv_records.h"
#include "trading/instrument_table.h"
#include "trading/md_client.h"
#include "trading/order_engine.h"

namespace qv_test {

class TestEngine final : public qv::OrderEngine {
 public:
  explicit TestEngine(uint16_t clientIndex = 0, const char* userId = "u1")
      : OrderEngine(clientIndex, makeLogin(userId), nullptr, nullptr, nullptr) {
    exchangeSessionState(qv::kStateReady);
  }

  static CQVLoginField makeLogin(const char* userId) {
    CQVLoginField login{};
    login.UserType = 20001;
    qv::copyText(login.UserID, userId);
    qv::copyText(login.BrokerID, "9999");
    qv::copyText(login.MdFront, "tcp://md");
    return login;
  }

  // Orders handed to the library, as their records stood when sent.
  std::vector<CQVOrderField> sent() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_;
  }
  void clearSent() {
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.clear();
  }
  // The result the next sends return (0: handed over).
  void setSendResult(int32_t result) { sendResult_ = result; }

  // Snapshots used for pricing: this engine owns its map (a session gets it from its market-data
  // client). Returns the entry, made on first use under "ID." and "ID.EXCH".
  qv::SnapshotEntry* snapshot(const char* instrumentId, const char* exchangeId) {
    std::string key = qv::instrumentKey(instrumentId, exchangeId);
    if (qv::SnapshotEntry* found = snapshots_.find(key)) return found;
    auto* entry = new qv::SnapshotEntry{};
    qv::copyText(entry->record.StandardID, instrumentId);
    qv::copyText(entry->record.ExchangeID, exchangeId);
    qv::copyText(entry->key, key.c_str());
    entry->instrument = qv::findInstrument(instrumentId, exchangeId);
    snapshots_.insert(key, entry);
    snapshots_.insert(qv::instrumentKey(instrumentId, nullptr), entry);
    snapshotMap_.store(&snapshots_);
    return entry;
  }

  int32_t cancelOrder(const char*, const char*, const char*, int32_t, int32_t, int32_t) override {
    return 0;
  }
  int64_t runQueryCommand(qv::Task&) override { return 0; }
  qv::TransferHolder* transferCash(char, double, const char*, const char*, const char*) override {
    return nullptr;
  }
  int32_t updatePassword(char, const char*, const char*) override { return 0; }

  // Test access to engine state.
  void setCash(double value) { setUsableCash(value); }
  qv::PositionHolder* position(const char* instrumentId, const char* exchangeId) {
    return positionFor(qv::instrumentKey(instrumentId, exchangeId).c_str(), true, nullptr, nullptr,
                       exchangeId, instrumentId);
  }

 protected:
  int32_t sendOrderRequest(qv::OrderHolder& order) override {
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back(order.record);
    return sendResult_.load();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<CQVOrderField> sent_;
  std::atomic<int32_t> sendResult_{0};
  qv::SnapshotMap snapshots_;
};

// Enters an instrument into the process-wide table and returns it. The table keeps the first
// instrument entered under a key, so tests that need other parameters use another code.
inline qv::InstrumentInfo* addInstrument(const char* instrumentId, const char* exchangeId,
                                         int volumeMultiple = 10, double marginRatio = 0.1,
                                         int maxLimitVolume = 500, int minLimitVolume = 1,
                                         double priceTick = 1.0) {
  CThostFtdcInstrumentField record{};
  qv::copyText(record.InstrumentID, instrumentId);
  qv::copyText(record.ExchangeID, exchangeId);
  record.VolumeMultiple = volumeMultiple;
  record.LongMarginRatio = marginRatio;
  record.ShortMarginRatio = marginRatio;
  record.MaxLimitOrderVolume = maxLimitVolume;
  record.MinLimitOrderVolume = minLimitVolume;
  record.MaxMarketOrderVolume = maxLimitVolume;
  record.MinMarketOrderVolume = minLimitVolume;
  record.PriceTick = priceTick;
  return qv::enterInstrument(record);
}

}  // namespace qv_test

#endif  // QV_TESTS_SUPPORT_TEST_ENGINE_H

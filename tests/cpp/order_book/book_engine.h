// Test support for the order book: BookEngine, an OrderEngine whose library accepts every request,
// with a `send` that books an order the way order entry does (fresh OrderID, freeze of cash or
// close volume, entry in allOrders), and builders of the CTP reports the book consumes.
// EventLog records every order event through a native host callable (no Python code involved);
// an optional hook runs inside the event, on the raising thread, with the interpreter lock held.
#ifndef QV_TESTS_ORDER_BOOK_BOOK_ENGINE_H
#define QV_TESTS_ORDER_BOOK_BOOK_ENGINE_H

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "records/cqv_records.h"
#include "trading/order_engine.h"

namespace qv_test {

class BookEngine : public qv::OrderEngine {
 public:
  explicit BookEngine(uint16_t clientIndex = 0);

  // Books an order as order entry would after a successful send: status '1', frozen cash for an
  // opening order, frozen close volume (offset '3' today's, else yesterday's) for a closing one.
  qv::OrderHolder* send(qv::InstrumentInfo* instrument, char direction, char offsetFlag,
                        int32_t volume, double price);
  // As `send`, but the close volume is frozen only when the position still has that many
  // closable lots; null (nothing booked) otherwise.
  qv::OrderHolder* sendClose(qv::InstrumentInfo* instrument, char direction, int32_t volume,
                             double price);

  // Every order in allOrders, in no particular order.
  std::vector<qv::OrderHolder*> orders() const;
  size_t workingCount() const;
  bool isWorking(int32_t orderId) const;
  void setSession(int32_t frontId, int32_t sessionId) {
    frontId_.store(frontId);
    sessionId_.store(sessionId);
  }
  qv::PositionHolder* positionOf(qv::InstrumentInfo* instrument);

  // Cancellations asked for through slot 2 (by cancel selection), oldest first.
  std::vector<int32_t> takeCancelRequests();

  int32_t cancelOrder(const char*, const char*, const char*, int32_t orderId, int32_t,
                      int32_t) override;
  int64_t runQueryCommand(qv::Task&) override { return 0; }
  qv::TransferHolder* transferCash(char, double, const char*, const char*, const char*) override {
    return nullptr;
  }
  int32_t updatePassword(char, const char*, const char*) override { return 0; }

 protected:
  int32_t sendOrderRequest(qv::OrderHolder&) override { return 0; }

 private:
  qv::OrderHolder* book(qv::InstrumentInfo* instrument, char direction, char offsetFlag,
                        int32_t volume, double price);

  mutable std::mutex cancelMutex_;
  std::vector<int32_t> cancelRequests_;
};

// A new engine that lives until the process ends, as a client does: its order and position
// holders are never freed, and this way they stay reachable for the leak checker.
BookEngine& keptBookEngine(uint16_t clientIndex = 0);

// Enters an instrument (multiple 10, margin ratio 0.1 unless given) into the process-wide table;
// the table keeps the first entry per key, so each configuration takes its own code.
qv::InstrumentInfo* bookInstrument(const char* instrumentId, const char* exchangeId,
                                   int volumeMultiple = 10, double marginRatio = 0.1);

// An OnRtnOrder record for `order` as its session reports it.
CThostFtdcOrderField orderReport(const CQVOrderField& order, char status, int32_t volumeTraded,
                                 char submitStatus = '3');
// An OnRtnTrade record of `volume` lots at `price` for `order`; `tradeId` names the trade.
CThostFtdcTradeField tradeReport(const CQVOrderField& order, int32_t volume, double price,
                                 const char* tradeId, const char* orderSysId = "SYS1");

struct RecordedEvent {
  int32_t eventId;
  int32_t orderId;
  int32_t tradedVolumeChange;
  char orderStatus;
  const CQVPositionField* position;
  double cash;
};

class EventLog {
 public:
  // Registers the recorder for every order event of `engine`. REQUIRES: interpreter running.
  static void attach(qv::OrderEngine& engine);
  static void clear();
  static std::vector<RecordedEvent> events();
  // Ids of the events, in order.
  static std::vector<int32_t> ids();
  static int count(int32_t eventId);
  // Runs inside every event after it is recorded; cleared by clear().
  static void setHook(std::function<void(const RecordedEvent&)> hook);
};

}  // namespace qv_test

#endif  // QV_TESTS_ORDER_BOOK_BOOK_ENGINE_H

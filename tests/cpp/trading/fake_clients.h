// Test doubles of the abstract clients: every slot records which slot ran and with which
// arguments, and order slots hand back a holder the test owns. Test-only hooks reach the
// protected book and state.
#ifndef QV_TESTS_TRADING_FAKE_CLIENTS_H
#define QV_TESTS_TRADING_FAKE_CLIENTS_H

#include <algorithm>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "trading/md_client.h"
#include "trading/trader_client.h"

namespace qv::testing {

inline std::string show(const char* text) { return text == nullptr ? "null" : text; }

// One slot call: the slot number and its arguments printed in order, separated by '|'.
struct SlotCall {
  int slot;
  std::string args;
};

class FakeTraderClient : public TraderClient {
 public:
  explicit FakeTraderClient(uint16_t index = 0, const CQVLoginField* login = nullptr)
      : TraderClient(index, login != nullptr ? *login : emptyLogin(), nullptr, nullptr, nullptr) {}

  static const CQVLoginField& emptyLogin() {
    static CQVLoginField login{};
    return login;
  }

  int32_t insertOrder(OrderHolder*) override {
    record(1, "");
    return 0;
  }
  int32_t cancelOrder(const char* exchangeId, const char* instrumentId, const char* orderSysId,
                      int32_t orderId, int32_t frontId, int32_t sessionId) override {
    record(2, join(show(exchangeId), show(instrumentId), show(orderSysId), orderId, frontId,
                   sessionId));
    return cancelResult;
  }
  int64_t runQueryCommand(Task& task) override {
    record(3, join(task.taskId));
    return 0;
  }
  OrderHolder* buyOpen(InstrumentInfo* i, const char* e, const char* id, int32_t v, char t,
                       double p, int16_t m) override {
    return order(4, join(key(i), show(e), show(id), v, t, p, m));
  }
  OrderHolder* sellClose(InstrumentInfo* i, const char* e, const char* id, int32_t v, char t,
                         double p, int16_t m, uint8_t u, char f, int64_t x) override {
    return order(5, join(key(i), show(e), show(id), v, t, p, m, int(u), f, x));
  }
  OrderHolder* sellOpen(InstrumentInfo* i, const char* e, const char* id, int32_t v, char t,
                        double p, int16_t m) override {
    return order(6, join(key(i), show(e), show(id), v, t, p, m));
  }
  OrderHolder* buyClose(InstrumentInfo* i, const char* e, const char* id, int32_t v, char t,
                        double p, int16_t m, uint8_t u, char f, int64_t x) override {
    return order(7, join(key(i), show(e), show(id), v, t, p, m, int(u), f, x));
  }
  OrderHolder* buy(InstrumentInfo* i, int32_t v, char t, double p, int16_t m, uint8_t u) override {
    return order(8, join(key(i), v, t, p, m, int(u)));
  }
  OrderHolder* buyAmount(InstrumentInfo* i, double a, char t, double p, int16_t m,
                         uint8_t u) override {
    return order(9, join(key(i), a, t, p, m, int(u)));
  }
  OrderHolder* buyRatio(InstrumentInfo* i, double r, char t, double p, int16_t m,
                        uint8_t u) override {
    return order(10, join(key(i), r, t, p, m, int(u)));
  }
  OrderHolder* sell(InstrumentInfo* i, int32_t v, char t, double p, int16_t m, uint8_t u) override {
    return order(11, join(key(i), v, t, p, m, int(u)));
  }
  OrderHolder* sellAmount(InstrumentInfo* i, double a, char t, double p, int16_t m,
                          uint8_t u) override {
    return order(12, join(key(i), a, t, p, m, int(u)));
  }
  OrderHolder* sellRatio(InstrumentInfo* i, double r, char t, double p, int16_t m,
                         uint8_t u) override {
    return order(13, join(key(i), r, t, p, m, int(u)));
  }
  OrderHolder* closeLong(const char* e, const char* id, int32_t v, char t, double p, int16_t m,
                         uint8_t c) override {
    return order(14, join(show(e), show(id), v, t, p, m, int(c)));
  }
  OrderHolder* closeShort(const char* e, const char* id, int32_t v, char t, double p, int16_t m,
                          uint8_t c) override {
    return order(15, join(show(e), show(id), v, t, p, m, int(c)));
  }
  OrderHolder* balanceToLongValue(InstrumentInfo* i, double v, char t, double p,
                                  int16_t m) override {
    return order(16, join(key(i), v, t, p, m));
  }
  OrderHolder* balanceToLongVolume(InstrumentInfo* i, int32_t v, char t, double p,
                                   int16_t m) override {
    return order(17, join(key(i), v, t, p, m));
  }
  OrderHolder* balanceToShortValue(InstrumentInfo* i, double v, char t, double p,
                                   int16_t m) override {
    return order(18, join(key(i), v, t, p, m));
  }
  OrderHolder* balanceToShortVolume(InstrumentInfo* i, int32_t v, char t, double p,
                                    int16_t m) override {
    return order(19, join(key(i), v, t, p, m));
  }
  TransferHolder* transferCash(char d, double a, const char* ap, const char* b,
                               const char* bp) override {
    record(20, join(d, a, show(ap), show(b), show(bp)));
    return &transfer;
  }
  int32_t updatePassword(char k, const char* o, const char* n) override {
    record(22, join(k, show(o), show(n)));
    return 7;
  }

  // Test-only hooks on the protected state.
  void TEST_addOrder(OrderHolder* holder, bool working) {
    WriteGuard guard(orderBookLock_);
    allOrders_[holder->record.OrderID] = holder;
    if (working) workingOrders_[holder->record.OrderID] = holder;
  }
  void TEST_addPosition(const char* key, PositionHolder* holder) { positions_.insert(key, holder); }
  void TEST_setSession(int32_t front, int32_t session) {
    frontId_ = front;
    sessionId_ = session;
  }
  void TEST_setUsableCash(double cash) {
    SpinFlagGuard guard(cashWriteFlag_);
    usableCash_.store(cash);
  }

  std::vector<SlotCall> calls;
  int32_t cancelResult = 0;
  std::deque<OrderHolder> orders;  // holders handed out by order slots, stable addresses
  TransferHolder transfer{};

 private:
  template <typename... Args>
  static std::string join(const Args&... args) {
    std::ostringstream out;
    const char* separator = "";
    ((out << separator << args, separator = "|"), ...);
    return out.str();
  }
  static std::string key(const InstrumentInfo* info) { return info == nullptr ? "null" : info->key; }
  void record(int slot, std::string args) { calls.push_back({slot, std::move(args)}); }
  OrderHolder* order(int slot, std::string args) {
    record(slot, std::move(args));
    return &orders.emplace_back();
  }
};

class FakeMdClient : public MdClient {
 public:
  explicit FakeMdClient(const CQVLoginField* login = &FakeTraderClient::emptyLogin())
      : MdClient(login, nullptr, nullptr) {}

  // One send: subscribing or not, the key it was given and the codes, sorted.
  struct Send {
    bool subscribing;
    std::string key;
    std::vector<std::string> codes;
  };

  int32_t sendSubscribe(const char* key, char** codes, int32_t count, char) override {
    return capture(true, key, codes, count);
  }
  int32_t sendUnsubscribe(const char* key, char** codes, int32_t count, char) override {
    return capture(false, key, codes, count);
  }
  int32_t login(int32_t&) override { return 0; }

  std::vector<Send> sends;
  int32_t sendResult = 0;

 private:
  int32_t capture(bool subscribing, const char* key, char** codes, int32_t count) {
    Send send{subscribing, key, {}};
    for (int32_t i = 0; i < count; ++i) send.codes.emplace_back(codes[i]);
    std::sort(send.codes.begin(), send.codes.end());
    sends.push_back(std::move(send));
    return sendResult;
  }
};

}  // namespace qv::testing

#endif  // QV_TESTS_TRADING_FAKE_CLIENTS_H

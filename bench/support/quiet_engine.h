// QuietEngine: an order engine whose library takes every order and does nothing with it, so a
// benchmark measures the runtime's own cost up to the library call. Its holders live as long as
// the engine, as a client's do.
#ifndef QV_BENCH_SUPPORT_QUIET_ENGINE_H
#define QV_BENCH_SUPPORT_QUIET_ENGINE_H

#include <cstddef>

#include "base/text.h"
#include "trading/order_engine.h"

namespace qv_bench {

class QuietEngine final : public qv::OrderEngine {
 public:
  explicit QuietEngine(size_t orders) : OrderEngine(0, login(), nullptr, nullptr, nullptr) {
    snapshotMap_.store(&snapshots_);
    allOrders_.reserve(orders);
  }
  int32_t cancelOrder(const char*, const char*, const char*, int32_t, int32_t, int32_t) override {
    return 0;
  }
  int64_t runQueryCommand(qv::Task&) override { return 0; }
  qv::TransferHolder* transferCash(char, double, const char*, const char*, const char*) override {
    return nullptr;
  }
  int32_t updatePassword(char, const char*, const char*) override { return 0; }
  qv::SnapshotMap& snapshots() { return snapshots_; }

 protected:
  int32_t sendOrderRequest(qv::OrderHolder&) override { return 0; }

 private:
  static CQVLoginField login() {
    CQVLoginField login{};
    qv::copyText(login.UserID, "bench");
    return login;
  }
  qv::SnapshotMap snapshots_;
};

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_QUIET_ENGINE_H

// A market-data object of the stand-in, logged in and subscribed, whose callback only counts the
// snapshots it receives: what the benchmarks of the exchange and the replay deliver to.
#ifndef QV_BENCH_SUPPORT_MD_SUBSCRIBER_H
#define QV_BENCH_SUPPORT_MD_SUBSCRIBER_H

#include <atomic>
#include <string>
#include <vector>

#include "ThostFtdcMdApi.h"
#include "support/count_waiter.h"

namespace qv_bench {

class MdSubscriber final : public CThostFtdcMdSpi {
 public:
  // Connects, logs in and subscribes to `codes`, waiting for each answer.
  explicit MdSubscriber(std::vector<std::string> codes) {
    md_->RegisterSpi(this);
    md_->Init();
    steps_.waitFor(1);
    CThostFtdcReqUserLoginField login{};
    md_->ReqUserLogin(&login, 1);
    steps_.waitFor(2);
    std::vector<char*> ids;
    for (std::string& code : codes) ids.push_back(code.data());
    md_->SubscribeMarketData(ids.data(), static_cast<int>(ids.size()));
    steps_.waitFor(3);
  }
  ~MdSubscriber() { md_->Release(); }
  MdSubscriber(const MdSubscriber&) = delete;
  MdSubscriber& operator=(const MdSubscriber&) = delete;

  long snapshots() const { return snapshots_.load(); }

  void OnFrontConnected() override { steps_.add(); }
  void OnRspUserLogin(CThostFtdcRspUserLoginField*, CThostFtdcRspInfoField*, int, bool) override { steps_.add(); }
  void OnRspSubMarketData(CThostFtdcSpecificInstrumentField*, CThostFtdcRspInfoField*, int, bool isLast) override {
    if (isLast) steps_.add();
  }
  void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField*) override {
    snapshots_.fetch_add(1, std::memory_order_relaxed);
  }

 private:
  CThostFtdcMdApi* md_ = CThostFtdcMdApi::CreateFtdcMdApi("");
  CountWaiter steps_;
  std::atomic<long> snapshots_{0};
};

}  // namespace qv_bench

#endif  // QV_BENCH_SUPPORT_MD_SUBSCRIBER_H

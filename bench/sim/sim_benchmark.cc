// Round trips through the stand-in trader library: a query sent from this thread and answered on
// the library's callback thread, against a baseline of a bare two-thread handoff (mutex and
// condition variable) measured in the same run, so the figure reads as a ratio to the machine.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "ThostFtdcTraderApi.h"
#include "qvsim.h"

namespace {

class Waiter {
 public:
  void signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_one();
  }
  void waitFor(long target) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return count_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long count_ = 0;
};

class BenchSpi final : public CThostFtdcTraderSpi {
 public:
  virtual ~BenchSpi() = default;
  void OnFrontConnected() override { waiter.signal(); }
  void OnRspAuthenticate(CThostFtdcRspAuthenticateField*, CThostFtdcRspInfoField*, int, bool) override {
    waiter.signal();
  }
  void OnRspUserLogin(CThostFtdcRspUserLoginField*, CThostFtdcRspInfoField*, int, bool) override { waiter.signal(); }
  void OnRspQryTradingAccount(CThostFtdcTradingAccountField*, CThostFtdcRspInfoField*, int, bool) override {
    waiter.signal();
  }
  Waiter waiter;
};

void BM_ThreadHandoffBaseline(benchmark::State& state) {
  Waiter request;
  Waiter answer;
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    for (long n = 1;; ++n) {
      request.waitFor(n);
      if (stop) return;
      answer.signal();
    }
  });
  long sent = 0;
  for (auto _ : state) {
    request.signal();
    answer.waitFor(++sent);
  }
  stop = true;
  request.signal();
  peer.join();
}
BENCHMARK(BM_ThreadHandoffBaseline)->UseRealTime();

void BM_QueryRoundTrip(benchmark::State& state) {
  qvsim_reset();
  qvsim_set_flow_control(0, 0);
  qvsim_set_latency(0);
  BenchSpi spi;
  CThostFtdcTraderApi* api = CThostFtdcTraderApi::CreateFtdcTraderApi("");
  api->RegisterSpi(&spi);
  api->Init();
  spi.waiter.waitFor(1);
  CThostFtdcReqAuthenticateField auth{};
  std::strcpy(auth.BrokerID, "9999");
  std::strcpy(auth.UserID, "bench");
  std::strcpy(auth.AppID, "simnow_client_test");
  std::strcpy(auth.AuthCode, "0000000000000000");
  api->ReqAuthenticate(&auth, 1);
  spi.waiter.waitFor(2);
  CThostFtdcReqUserLoginField login{};
  std::strcpy(login.BrokerID, "9999");
  std::strcpy(login.UserID, "bench");
  api->ReqUserLogin(&login, 2);
  spi.waiter.waitFor(3);
  long answered = 3;
  int id = 3;
  CThostFtdcQryTradingAccountField q{};
  for (auto _ : state) {
    api->ReqQryTradingAccount(&q, ++id);
    spi.waiter.waitFor(++answered);
  }
  api->Release();
  qvsim_reset();
}
BENCHMARK(BM_QueryRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

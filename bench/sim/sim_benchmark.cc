// Round trips through the stand-in trader library: a query sent from this thread and answered on
// the library's callback thread, against a baseline of a bare two-thread handoff (mutex and
// condition variable) measured in the same run, so the figure reads as a ratio to the machine.
#include <benchmark/benchmark.h>

#include <cstring>

#include "ThostFtdcTraderApi.h"
#include "qvsim.h"
#include "support/count_waiter.h"
#include "support/handoff_baseline.h"

namespace {

class BenchSpi final : public CThostFtdcTraderSpi {
 public:
  virtual ~BenchSpi() = default;
  void OnFrontConnected() override { waiter.add(); }
  void OnRspAuthenticate(CThostFtdcRspAuthenticateField*, CThostFtdcRspInfoField*, int, bool) override {
    waiter.add();
  }
  void OnRspUserLogin(CThostFtdcRspUserLoginField*, CThostFtdcRspInfoField*, int, bool) override { waiter.add(); }
  void OnRspQryTradingAccount(CThostFtdcTradingAccountField*, CThostFtdcRspInfoField*, int, bool) override {
    waiter.add();
  }
  qv_bench::CountWaiter waiter;
};

void BM_ThreadHandoffBaseline(benchmark::State& state) { qv_bench::threadHandoffRoundTrips(state); }
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

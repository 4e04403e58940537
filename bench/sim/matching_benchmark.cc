// The simulated exchange's matching called directly, on one thread, with no library threads or
// callbacks: the matching core (a price book and the displayed market of one instrument) and the
// broker around it (checks, records, accounting and reports). An operation is an order that
// crosses and trades, or an order that rests and is canceled; each benchmark runs with 10 and with
// 100,000 orders resting, and the program prints the cost at 100,000 as a ratio to the cost at 10,
// in CPU time (one thread does all the work, so CPU time is its cost undisturbed by other programs).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/exchange/market_view.h"
#include "core/exchange/price_book.h"
#include "core/scenario/scenario.h"
#include "support/best_reporter.h"
#include "support/sim_orders.h"

namespace {

using qv_bench::order;
using qv_bench::put;

constexpr int kOperationsPerIteration = 2;

// Resting orders far from the market on both sides, spread over 200 prices.
void fillBook(qvsim::PriceBook& book, long count, std::size_t& nextId) {
  for (long i = 0; i < count; ++i) {
    const bool buy = i % 2 == 0;
    book.add(nextId++, buy, 3 + static_cast<int>(i % 7), buy ? 3000.0 - i % 100 : 4000.0 + i % 100, 1);
  }
}

// Per iteration: a buy crosses a counterparty resting at the top of the book and a displayed
// level (insert + match), and a buy rests behind the others at its price and is canceled.
void BM_MatchingCore(benchmark::State& state) {
  qvsim::PriceBook book;
  std::size_t nextId = 1;
  fillBook(book, state.range(0), nextId);
  CThostFtdcDepthMarketDataField depth{};
  depth.AskPrice1 = 3501;
  depth.AskVolume1 = 1 << 30;
  depth.BidPrice1 = 3499;
  depth.BidVolume1 = 1 << 30;
  qvsim::MarketView view;
  view.see(depth);
  const std::size_t seller = nextId++;
  book.add(seller, false, 2, 3500.0, 1 << 30);
  long i = 0;
  for (auto _ : state) {
    for (const auto& r : book.crossing(true, 3501.0, 1, 2)) book.reduce(r.id, 1);
    benchmark::DoNotOptimize(view.take(true, 3501.0, 1));
    const std::size_t id = nextId++;
    book.add(id, true, 1, 3000.0 - ++i % 100, 1);
    book.remove(id);
  }
  state.SetItemsProcessed(state.iterations() * kOperationsPerIteration);
}
BENCHMARK(BM_MatchingCore)->Arg(10)->Arg(100000);

// The broker of one logged-in, confirmed investor, on a book of bid 3500 / ask 3501.
struct LoggedIn {
  qvsim::Broker broker;
  qvsim::BrokerSession session;

  LoggedIn() {
    qvsim::Scenario scenario;
    std::string error;
    qvsim::parseScenario(R"({"tradingDay": "20260108", "initialFunds": 1e13, "requireAuthentication": false,
      "instruments": [{"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1,
                       "marginRatio": 0.1, "preSettlementPrice": 3500, "maxLimitOrderVolume": 500}]})",
                         scenario, error);
    broker.load(scenario);
    session.frontId = 1;
    session.sessionId = broker.nextSessionId();
    CThostFtdcReqUserLoginField login{};
    put(login.BrokerID, "9999");
    put(login.UserID, "u1");
    put(login.Password, "pw");
    CThostFtdcRspUserLoginField answer{};
    broker.login(session, login, answer);
    CThostFtdcSettlementInfoConfirmField confirmed{};
    broker.confirmSettlement(session, confirmed);
    CThostFtdcDepthMarketDataField depth{};
    put(depth.InstrumentID, "rb2605");
    depth.LastPrice = 3500;
    depth.BidPrice1 = 3500;
    depth.AskPrice1 = 3501;
    depth.BidVolume1 = depth.AskVolume1 = 1 << 30;
    broker.onSnapshot(depth);
  }
};

// Per iteration: a crossing order that trades at the displayed best (alternately opening and
// closing today's lot) and an order that rests and is canceled by its exchange id. The day grows
// by three orders an iteration, so the run is capped.
void BM_BrokerMatching(benchmark::State& state) {
  LoggedIn day;
  int requestId = 0;
  for (long i = 0; i < state.range(0); ++i) {
    auto resting = order(THOST_FTDC_D_Buy, THOST_FTDC_OF_Open, 3300 - i % 100);
    day.broker.insertOrder(day.session, resting, ++requestId);
  }
  long n = 0;
  for (auto _ : state) {
    auto crossing = n++ % 2 == 0 ? order(THOST_FTDC_D_Buy, THOST_FTDC_OF_Open, 3501)
                                 : order(THOST_FTDC_D_Sell, THOST_FTDC_OF_CloseToday, 3500);
    benchmark::DoNotOptimize(day.broker.insertOrder(day.session, crossing, ++requestId));
    auto resting = order(THOST_FTDC_D_Buy, THOST_FTDC_OF_Open, 3300);
    const qvsim::OrderOutcome placed = day.broker.insertOrder(day.session, resting, ++requestId);
    CThostFtdcInputOrderActionField cancel{};
    cancel.ActionFlag = THOST_FTDC_AF_Delete;
    std::memcpy(cancel.OrderSysID, placed.reports.back().OrderSysID, sizeof(cancel.OrderSysID));
    benchmark::DoNotOptimize(day.broker.cancelOrder(day.session, cancel, ++requestId));
  }
  state.SetItemsProcessed(state.iterations() * kOperationsPerIteration);
}
BENCHMARK(BM_BrokerMatching)->Arg(10)->Arg(100000)->Iterations(30000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qv_bench::BestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nOrder operations (insert + match or cancel), 100,000 resting against 10:\n");
  for (const char* name : {"BM_MatchingCore", "BM_BrokerMatching"}) {
    const std::string suffix = std::string(name) == "BM_BrokerMatching" ? "/iterations:30000" : "";
    const double few = reporter.times(std::string(name) + "/10" + suffix).cpu;
    const double many = reporter.times(std::string(name) + "/100000" + suffix).cpu;
    if (few <= 0.0 || many <= 0.0) continue;
    std::printf("  %-18s %9.0f ops/s at 10, %9.0f ops/s at 100,000: %.2fx the cost per operation\n", name,
                kOperationsPerIteration * 1e9 / few, kOperationsPerIteration * 1e9 / many, many / few);
  }
  benchmark::Shutdown();
  return 0;
}

// Cost of one event text: toText with names, " || " and precision 2, for a CTP depth snapshot and
// for an order, filled as they are in trading (real prices, no-value prices, short texts). The
// zeroed-order case is the baseline the others are read against.
#include <benchmark/benchmark.h>

#include <cfloat>
#include <cstring>
#include <string>

#include "records/print_helper.h"

namespace {

CThostFtdcDepthMarketDataField depthSnapshot() {
  CThostFtdcDepthMarketDataField depth{};
  std::strcpy(depth.TradingDay, "20240105");
  std::strcpy(depth.InstrumentID, "rb2405");
  std::strcpy(depth.ExchangeID, "SHFE");
  depth.LastPrice = 3921.0;
  depth.PreSettlementPrice = 3905.0;
  depth.PreClosePrice = 3911.0;
  depth.PreOpenInterest = 1843210.0;
  depth.OpenPrice = 3908.0;
  depth.HighestPrice = 3930.0;
  depth.LowestPrice = 3899.0;
  depth.Volume = 512345;
  depth.Turnover = 20093123450.0;
  depth.OpenInterest = 1850011.0;
  depth.ClosePrice = DBL_MAX;
  depth.SettlementPrice = DBL_MAX;
  depth.UpperLimitPrice = 4178.0;
  depth.LowerLimitPrice = 3631.0;
  depth.PreDelta = DBL_MAX;
  depth.CurrDelta = DBL_MAX;
  std::strcpy(depth.UpdateTime, "10:15:32");
  depth.UpdateMillisec = 500;
  depth.BidPrice1 = 3920.0;
  depth.BidVolume1 = 311;
  depth.AskPrice1 = 3921.0;
  depth.AskVolume1 = 97;
  for (double* price : {&depth.BidPrice2, &depth.AskPrice2, &depth.BidPrice3, &depth.AskPrice3, &depth.BidPrice4,
                        &depth.AskPrice4, &depth.BidPrice5, &depth.AskPrice5}) {
    *price = DBL_MAX;
  }
  depth.AveragePrice = 39217.53;
  std::strcpy(depth.ActionDay, "20240105");
  return depth;
}

CQVOrderField workingOrder() {
  CQVOrderField order{};
  std::strcpy(order.TradingDay, "20240105");
  std::strcpy(order.UserID, "080123");
  order.SessionID = -1862795231;
  order.FrontID = 3;
  order.OrderID = 1000042;
  order.OrderMark = 7;
  std::strcpy(order.ExchangeID, "SHFE");
  std::strcpy(order.StandardID, "rb2405");
  order.Direction = '0';
  order.OffsetFlag = '0';
  order.OrderType = '1';
  order.IsLimitOrder = true;
  order.OrderPriceType = '2';
  order.TimeCondition = '3';
  order.VolumeCondition = '1';
  order.ContingentCondition = '1';
  order.OriginalVolume = 5;
  order.OriginalPrice = 3920.0;
  order.OrderLocalTime = 36512345678;
  std::strcpy(order.OrderSysID, "      123456");
  std::strcpy(order.InsertTime, "10:15:32");
  std::strcpy(order.UpdateTime, "10:15:33");
  order.OrderStatus = '1';
  order.TradedVolumeChange = 2;
  order.TradedVolume = 3;
  order.LastTradedPrice = 3920.0;
  order.TradedVolumeOfTurnover = 3;
  order.TurnoverChange = 78400.0;
  order.Turnover = 117600.0;
  order.AverageCost = 3920.0;
  return order;
}

template <class R>
void printEventText(benchmark::State& state, const R& record) {
  size_t bytes = 0;
  for (auto _ : state) {
    const char* text = CQVPrintHelper::toText(&record, true, " || ", 2);
    benchmark::DoNotOptimize(text);
    bytes += std::strlen(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_ToTextZeroedOrderBaseline(benchmark::State& state) { printEventText(state, CQVOrderField{}); }
void BM_ToTextDepthMarketData(benchmark::State& state) { printEventText(state, depthSnapshot()); }
void BM_ToTextOrder(benchmark::State& state) { printEventText(state, workingOrder()); }

BENCHMARK(BM_ToTextZeroedOrderBaseline);
BENCHMARK(BM_ToTextDepthMarketData);
BENCHMARK(BM_ToTextOrder);

}  // namespace

BENCHMARK_MAIN();

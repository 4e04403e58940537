// Matching on the simulated exchange: crossing the displayed best level, partial fills and the rest
// resting, fills of resting orders on later snapshots and the queue ahead of them, IOC / FOK /
// minimum volume, two clients of the process trading with each other, and the accounting of the
// fills (margin, commission, close profit, close-today and close-yesterday lots).
#include <gtest/gtest.h>

#include <cmath>

#include "ThostFtdcMdApi.h"
#include "matching_fixture.h"

namespace qvsim_test {
namespace {

TEST_F(MatchingTest, CrossingFillsTheDisplayedVolumeThenTheRestFillsOnALaterSnapshot) {
  push(depth("rb2605", 3500, 100, 3499, 5, 3500, 3));
  const int id = insert(order("rb2605", '0', '0', 3501, 5));
  auto events = reportsOf(spi, id, 3);
  ASSERT_EQ(events.size(), 4u);
  // Submitted, queued, then the partial fill's order report before its trade.
  const auto partial = events[2].as<CThostFtdcOrderField>();
  EXPECT_EQ(partial.OrderStatus, THOST_FTDC_OST_PartTradedQueueing);
  EXPECT_EQ(partial.VolumeTraded, 3);
  EXPECT_EQ(partial.VolumeTotal, 2);
  ASSERT_EQ(events[3].name, "OnRtnTrade");
  const auto trade = events[3].as<CThostFtdcTradeField>();
  EXPECT_DOUBLE_EQ(trade.Price, 3500.0) << "a crossing order trades at the displayed price";
  EXPECT_EQ(trade.Volume, 3);
  EXPECT_FALSE(text(trade.TradeID).empty());
  EXPECT_EQ(text(trade.OrderSysID), text(partial.OrderSysID));

  // The taken volume is gone for the next order until a new snapshot shows the book again.
  const int second = insert(order("rb2605", '0', '0', 3500, 1));
  EXPECT_EQ(reportsOf(spi, second, 2).back().as<CThostFtdcOrderField>().OrderStatus, THOST_FTDC_OST_NoTradeQueueing);

  push(depth("rb2605", 3501, 110, 3500, 5, 3501, 10));
  events = reportsOf(spi, id, 4);
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_AllTraded);
  const auto rest = spi.recorder.waitFor("OnRtnTrade", 2).as<CThostFtdcTradeField>();
  EXPECT_DOUBLE_EQ(rest.Price, 3501.0) << "a resting order trades at its own price";
  EXPECT_EQ(rest.Volume, 2);
  EXPECT_NE(text(rest.TradeID), text(trade.TradeID));
}

TEST_F(MatchingTest, LargeCrossingOrderTakesEachDisplayedLevelAtItsOwnPrice) {
  ASSERT_EQ(qvsim_load_scenario_json(R"({"tradingDay": "20260108", "initialFunds": 1e9, "instruments": [
      {"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1, "marginRatio": 0.1,
       "preSettlementPrice": 3500, "maxLimitOrderVolume": 1000}]})"),
            0);
  ready();
  auto book = depth("rb2605", 3514, 100, 3514, 30, 3515, 242);
  book.AskPrice2 = 3516;
  book.AskVolume2 = 254;
  book.AskPrice3 = 3521;  // beyond the limit: not taken
  book.AskVolume3 = 500;
  push(book);
  const int id = insert(order("rb2605", '0', '0', 3520, 400));
  auto events = reportsOf(spi, id, 4);
  std::vector<std::pair<double, int>> fills;
  for (const Event& e : events) {
    if (e.name == "OnRtnTrade") fills.emplace_back(e.as<CThostFtdcTradeField>().Price, e.as<CThostFtdcTradeField>().Volume);
  }
  EXPECT_EQ(fills, (std::vector<std::pair<double, int>>{{3515.0, 242}, {3516.0, 158}}));
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_AllTraded);

  // What the first order took is gone: the next buy finds 96 left at 3516, then works at its limit.
  const int second = insert(order("rb2605", '0', '0', 3520, 100));
  events = reportsOf(spi, second, 3);
  EXPECT_EQ(lastOrder(events).VolumeTraded, 96);
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_PartTradedQueueing);
  EXPECT_DOUBLE_EQ(spi.recorder.named("OnRtnTrade").back().as<CThostFtdcTradeField>().Price, 3516.0);

  // Fill or kill counts every level up to the limit. The new snapshot first fills the 4 lots still
  // working at 3520, which leaves 238 + 254 + 108 = 600 at 3521 or better.
  book.AskVolume3 = 108;
  push(book);
  auto fok = order("rb2605", '0', '0', 3521, 600);
  fok.TimeCondition = THOST_FTDC_TC_IOC;
  fok.VolumeCondition = THOST_FTDC_VC_CV;
  events = reportsOf(spi, insert(fok), 5);
  EXPECT_EQ(lastOrder(events).VolumeTraded, 600);
}

TEST_F(MatchingTest, RestingOrderWaitsForTheQueueAheadOfItAtItsPrice) {
  push(depth("rb2605", 3500, 100, 3499, 5, 3500, 8));
  const int id = insert(order("rb2605", '0', '0', 3499, 2));
  reportsOf(spi, id, 2);
  push(depth("rb2605", 3499, 104, 3499, 3, 3500, 8));  // 4 of the 5 ahead traded
  push(depth("rb2605", 3500, 110, 3499, 3, 3500, 8));  // trades at a higher price do not reach it
  push(depth("rb2605", 3499, 112, 3499, 3, 3500, 8));  // the last 1 ahead and 1 of ours
  const auto events = reportsOf(spi, id, 3);
  const auto filled = spi.recorder.named("OnRtnTrade");
  ASSERT_EQ(filled.size(), 1u);
  EXPECT_EQ(filled[0].as<CThostFtdcTradeField>().Volume, 1);
  EXPECT_EQ(events[2].as<CThostFtdcOrderField>().VolumeTraded, 1);

  push(depth("rb2605", 3498, 120, 3497, 3, 3498, 8));  // traded through: the rest fills
  spi.recorder.waitFor("OnRtnTrade", 2);
  EXPECT_EQ(spi.recorder.named("OnRtnTrade")[1].as<CThostFtdcTradeField>().Volume, 1);
  EXPECT_DOUBLE_EQ(spi.recorder.named("OnRtnTrade")[1].as<CThostFtdcTradeField>().Price, 3499.0);
}

// A last price through the order's price fills all of it, also when the new ask sits at its price.
TEST_F(MatchingTest, ALastPriceThroughARestingBuyFillsAllOfItWhateverTheAskShows) {
  push(depth("rb2605", 3502, 100, 3501, 5, 3502, 8));
  const int id = insert(order("rb2605", '0', '0', 3500, 3));
  reportsOf(spi, id, 2);
  push(depth("rb2605", 3499, 130, 3499, 4, 3500, 1));
  spi.recorder.waitFor("OnRtnTrade", 1);
  const auto events = reportsOf(spi, id, 3);
  EXPECT_EQ(events[2].as<CThostFtdcOrderField>().OrderStatus, THOST_FTDC_OST_AllTraded);
  ASSERT_EQ(spi.recorder.named("OnRtnTrade").size(), 1u);
  EXPECT_EQ(spi.recorder.named("OnRtnTrade")[0].as<CThostFtdcTradeField>().Volume, 3);
  EXPECT_DOUBLE_EQ(spi.recorder.named("OnRtnTrade")[0].as<CThostFtdcTradeField>().Price, 3500.0);
}

TEST_F(MatchingTest, ImmediateAndAllOrNothingConditions) {
  push(depth("m2605", 3000, 100, 2999, 4, 3000, 2));
  // Fill and kill: 2 trade, the other 3 are canceled.
  auto ioc = order("m2605", '0', '0', 3000, 5);
  ioc.TimeCondition = THOST_FTDC_TC_IOC;
  auto events = reportsOf(spi, insert(ioc), 4);
  auto last = lastOrder(events);
  EXPECT_EQ(last.OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_EQ(last.VolumeTraded, 2);
  EXPECT_EQ(last.VolumeTotal, 3);

  push(depth("m2605", 3000, 100, 2999, 4, 3000, 2));
  // Fill or kill: 2 of 5 available, nothing trades.
  auto fok = order("m2605", '0', '0', 3000, 5);
  fok.TimeCondition = THOST_FTDC_TC_IOC;
  fok.VolumeCondition = THOST_FTDC_VC_CV;
  events = reportsOf(spi, insert(fok), 3);
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_Canceled);
  EXPECT_EQ(lastOrder(events).VolumeTraded, 0);
  // Minimum volume 3 with 2 available: nothing; minimum 2: the 2 trade and the rest rests.
  auto minimum = order("m2605", '0', '0', 3000, 5);
  minimum.VolumeCondition = THOST_FTDC_VC_MV;
  minimum.MinVolume = 3;
  events = reportsOf(spi, insert(minimum), 3);
  EXPECT_EQ(lastOrder(events).VolumeTraded, 0);
  minimum.MinVolume = 2;
  events = reportsOf(spi, insert(minimum), 3);
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_PartTradedQueueing);
  EXPECT_EQ(spi.recorder.named("OnRtnTrade").size(), 2u);

  // A market order takes what is displayed and cancels the rest.
  push(depth("m2605", 3000, 100, 2999, 4, 3001, 1));
  auto market = order("m2605", '0', '0', 0, 3);
  market.OrderPriceType = THOST_FTDC_OPT_AnyPrice;
  events = reportsOf(spi, insert(market), 4);
  EXPECT_EQ(lastOrder(events).VolumeTraded, 1);
  EXPECT_EQ(lastOrder(events).OrderStatus, THOST_FTDC_OST_Canceled);
}

TEST_F(MatchingTest, TwoClientsTradeWithEachOtherByPriceThenTime) {
  RecordingTraderSpi otherSpi;
  CThostFtdcTraderApi* other = CThostFtdcTraderApi::CreateFtdcTraderApi("");
  other->RegisterSpi(&otherSpi);
  other->Init();
  otherSpi.recorder.waitFor("OnFrontConnected");
  CThostFtdcReqAuthenticateField auth{};
  put(auth.BrokerID, "9999");
  put(auth.UserID, "u2");
  put(auth.AppID, "simnow_client_test");
  put(auth.AuthCode, "0000000000000000");
  other->ReqAuthenticate(&auth, 1);
  otherSpi.recorder.waitFor("OnRspAuthenticate");
  CThostFtdcReqUserLoginField login{};
  put(login.BrokerID, "9999");
  put(login.UserID, "u2");
  put(login.Password, "pw2");
  other->ReqUserLogin(&login, 2);
  otherSpi.recorder.waitFor("OnRspUserLogin");
  CThostFtdcSettlementInfoConfirmField confirmation{};
  other->ReqSettlementInfoConfirm(&confirmation, 3);
  otherSpi.recorder.waitFor("OnRspSettlementInfoConfirm");

  push(depth("rb2605", 3500, 100, 3490, 5, 3510, 5));
  // u1 offers 1 at 3503 then 2 at 3502: the better price goes first whatever the time.
  reportsOf(spi, insert(order("rb2605", '1', '1', 3503, 1)), 2);
  reportsOf(spi, insert(order("rb2605", '1', '1', 3502, 2)), 2);
  auto bid = order("rb2605", '0', '0', 3504, 4);
  put(bid.InvestorID, "u2");
  put(bid.UserID, "u2");
  const auto events = reportsOf(otherSpi, insert(bid, other), 4);
  std::vector<CThostFtdcTradeField> bought;
  for (const Event& e : events) {
    if (e.name == "OnRtnTrade") bought.push_back(e.as<CThostFtdcTradeField>());
  }
  ASSERT_EQ(bought.size(), 2u);
  EXPECT_DOUBLE_EQ(bought[0].Price, 3502.0);
  EXPECT_EQ(bought[0].Volume, 2);
  EXPECT_DOUBLE_EQ(bought[1].Price, 3503.0);
  EXPECT_EQ(bought[1].Volume, 1);
  EXPECT_EQ(lastOrder(events).VolumeTotal, 1) << "the rest rests below the market's ask";
  // The sellers' side: u1 gets its own fills on its own thread.
  spi.recorder.waitFor("OnRtnTrade", 2);
  EXPECT_EQ(spi.recorder.named("OnRtnTrade").size(), 2u);
  other->Release();
}

TEST_F(MatchingTest, GeneratedSnapshotsFillWorkingOrdersToo) {
  RecordingMdSpi mdSpi;
  CThostFtdcMdApi* md = CThostFtdcMdApi::CreateFtdcMdApi("");
  md->RegisterSpi(&mdSpi);
  md->Init();
  mdSpi.recorder.waitFor("OnFrontConnected");
  CThostFtdcReqUserLoginField login{};
  md->ReqUserLogin(&login, 1);
  mdSpi.recorder.waitFor("OnRspUserLogin");
  // Before any snapshot there is nothing to trade with: the order works.
  const int id = insert(order("rb2605", '0', '0', 3700, 1));
  EXPECT_EQ(lastOrder(reportsOf(spi, id, 2)).OrderStatus, THOST_FTDC_OST_NoTradeQueueing);
  ASSERT_EQ(qvsim_set_md_rate(200), 0);
  char rb[] = "rb2605";
  char* ids[] = {rb};
  md->SubscribeMarketData(ids, 1);
  const auto trade = spi.recorder.waitFor("OnRtnTrade").as<CThostFtdcTradeField>();
  EXPECT_DOUBLE_EQ(trade.Price, 3700.0);
  const auto depth = mdSpi.recorder.waitFor("OnRtnDepthMarketData").as<CThostFtdcDepthMarketDataField>();
  EXPECT_LT(depth.AskPrice1, 3700.0) << "the generated market stays near 3500";
  md->Release();
}

TEST_F(MatchingTest, AccountingOfOpenAndCloseFills) {
  // Commission: 3 a lot, 10 a lot closing today's lots.
  ASSERT_EQ(qvsim_load_scenario_json(R"({"tradingDay": "20260108", "instruments": [
      {"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1, "marginRatio": 0.1,
       "preSettlementPrice": 3500, "commissionByVolume": 3, "closeTodayCommissionByVolume": 10},
      {"instrumentId": "m2605", "exchangeId": "DCE", "multiplier": 10, "priceTick": 1, "marginRatio": 0.1,
       "preSettlementPrice": 3000, "commissionByMoney": 0.0001}],
    "users": [{"userId": "u1", "password": "pw1", "funds": 500000}],
    "positions": [{"userId": "u1", "instrumentId": "rb2605", "direction": "long", "yesterday": 2},
                  {"userId": "u1", "instrumentId": "m2605", "direction": "short", "yesterday": 2}]})"),
            0);
  ready();
  const auto before = account();
  EXPECT_DOUBLE_EQ(before.CurrMargin, 3500.0 * 2 * 10 * 0.1 + 3000.0 * 2 * 10 * 0.1);

  push(depth("rb2605", 3520, 100, 3519, 50, 3520, 50));
  // A working order freezes margin and commission; its fill books margin at the fill price.
  reportsOf(spi, insert(order("rb2605", '0', '0', 3525, 3)), 3);
  auto a = account();
  EXPECT_DOUBLE_EQ(a.FrozenMargin, 0.0);
  EXPECT_DOUBLE_EQ(a.CurrMargin - before.CurrMargin, 3520.0 * 3 * 10 * 0.1);
  EXPECT_DOUBLE_EQ(a.Commission, 9.0);
  // Marked to the last price: yesterday's lots from 3500, today's bought at 3520.
  EXPECT_DOUBLE_EQ(a.PositionProfit, (3520.0 - 3500.0) * 2 * 10);

  push(depth("rb2605", 3530, 110, 3530, 50, 3531, 50));
  // SHFE: close today's lots with close-today, yesterday's with close (-yesterday).
  reportsOf(spi, insert(order("rb2605", '1', THOST_FTDC_OF_CloseToday, 3530, 1)), 3);
  reportsOf(spi, insert(order("rb2605", '1', THOST_FTDC_OF_Close, 3530, 2)), 3);
  a = account();
  // Close profit against the average open cost of the lots held: (2 * 3500 + 3 * 3520) / 5 = 3512.
  EXPECT_NEAR(a.CloseProfit, (3530.0 - 3512.0) * 3 * 10, 1e-6);
  EXPECT_DOUBLE_EQ(a.Commission, 9.0 + 10.0 + 3.0 * 2);
  auto held = positions("rb2605");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].Position, 2);
  EXPECT_EQ(held[0].TodayPosition, 2);
  EXPECT_EQ(held[0].PositionDate, THOST_FTDC_PSD_Today);
  EXPECT_NEAR(held[0].PositionProfit, (3530.0 - 3512.0) * 2 * 10, 1e-6);
  const double balance = 500000.0 + a.CloseProfit + a.PositionProfit - a.Commission;
  EXPECT_NEAR(a.Balance, balance, 1e-6);
  EXPECT_NEAR(a.Available, balance - a.CurrMargin - a.FrozenMargin - a.FrozenCommission, 1e-6);

  // DCE closes yesterday's lots first: open 1 today, close 2, and the today lot is what is left.
  push(depth("m2605", 3000, 100, 2999, 50, 3000, 50));
  reportsOf(spi, insert(order("m2605", '1', '0', 2999, 1)), 3);
  reportsOf(spi, insert(order("m2605", '0', '1', 3000, 2)), 3);
  held = positions("m2605");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].Position, 1);
  EXPECT_EQ(held[0].TodayPosition, 1);
  EXPECT_NEAR(account().Commission, 9.0 + 10.0 + 6.0 + 0.0001 * 10 * (2999.0 + 2 * 3000.0), 1e-6);
}

}  // namespace
}  // namespace qvsim_test

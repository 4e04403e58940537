// Fixtures for the stand-in tests: a known scenario, no flow control and no answer delay, and a
// trader object connected to the simulated front, with verbs for the session steps and orders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "ThostFtdcTraderApi.h"
#include "qvsim.h"
#include "recording_spi.h"

namespace qvsim_test {

// Positions: rb2605 (SHFE) long 3 yesterday + 2 today; m2605 (DCE) short 4 yesterday + 1 today.
// One working order and one trade today. u1 holds 500,000 CNY; other users are opened on login.
inline constexpr char kScenario[] = R"({
  "tradingDay": "20260108", "seed": 7,
  "instruments": [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "name": "螺纹钢2605", "multiplier": 10, "priceTick": 1,
     "marginRatio": 0.1, "preSettlementPrice": 3500, "limitRatio": 0.07, "maxLimitOrderVolume": 500},
    {"instrumentId": "sc2605", "exchangeId": "INE", "multiplier": 1000, "priceTick": 0.1,
     "marginRatio": 0.15, "preSettlementPrice": 550, "limitRatio": 0.1},
    {"instrumentId": "m2605", "exchangeId": "DCE", "multiplier": 10, "priceTick": 1,
     "marginRatio": 0.1, "preSettlementPrice": 3000, "limitRatio": 0.06, "maxLimitOrderVolume": 1000},
    {"instrumentId": "SR605", "exchangeId": "CZCE", "multiplier": 10, "priceTick": 1,
     "marginRatio": 0.08, "preSettlementPrice": 6000, "limitRatio": 0.06},
    {"instrumentId": "IF2601", "exchangeId": "CFFEX", "multiplier": 300, "priceTick": 0.2,
     "marginRatio": 0.12, "preSettlementPrice": 3800, "limitRatio": 0.1,
     "maxLimitOrderVolume": 2, "maxMarketOrderVolume": 1}
  ],
  "users": [{"userId": "u1", "password": "pw1", "funds": 500000, "bankBalance": 200000}],
  "positions": [
    {"userId": "u1", "instrumentId": "rb2605", "direction": "long", "yesterday": 3, "today": 2},
    {"userId": "u1", "instrumentId": "m2605", "direction": "short", "yesterday": 4, "today": 1}
  ],
  "orders": [
    {"userId": "u1", "instrumentId": "m2605", "direction": "buy", "offset": "open", "price": 2990,
     "volume": 2, "orderRef": "7", "orderSysId": "100", "insertTime": "09:01:00"}
  ],
  "trades": [
    {"userId": "u1", "instrumentId": "rb2605", "direction": "buy", "offset": "open", "price": 3490,
     "volume": 2, "tradeTime": "09:05:00"}
  ]
})";

template <size_t N>
void put(char (&dst)[N], const std::string& text) {
  std::memset(dst, 0, N);
  std::memcpy(dst, text.data(), std::min(text.size(), N - 1));
}

template <size_t N>
std::string text(const char (&src)[N]) {
  return std::string(src, strnlen(src, N));
}

// kScenario with more keys, e.g. scenarioWith(R"("sessions": "always")").
inline std::string scenarioWith(const std::string& keys) {
  const std::string base = kScenario;
  return "{" + keys + "," + base.substr(base.find('{') + 1);
}

// kScenario on an exchange that trades at any hour: files of any time of day replay as they are.
inline std::string anyHourScenario() { return scenarioWith(R"("sessions": "always")"); }

class TraderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qvsim_reset(), 0);
    ASSERT_EQ(qvsim_set_flow_control(0, 0), 0);
    ASSERT_EQ(qvsim_set_latency(0), 0);
    ASSERT_EQ(qvsim_load_scenario_json(kScenario), 0);
    api = CThostFtdcTraderApi::CreateFtdcTraderApi("");
    ASSERT_NE(api, nullptr);
    api->RegisterSpi(&spi);
    char front[] = "tcp://127.0.0.1:41205";
    api->RegisterFront(front);
    api->SubscribePrivateTopic(THOST_TERT_QUICK);
    api->SubscribePublicTopic(THOST_TERT_QUICK);
    api->Init();
    ASSERT_EQ(spi.recorder.waitFor("OnFrontConnected").name, "OnFrontConnected");
  }

  void TearDown() override {
    if (api != nullptr) api->Release();
  }

  Event authenticate(const std::string& user, const std::string& appId = "simnow_client_test",
                     const std::string& authCode = "0000000000000000") {
    CThostFtdcReqAuthenticateField req{};
    put(req.BrokerID, "9999");
    put(req.UserID, user);
    put(req.AppID, appId);
    put(req.AuthCode, authCode);
    const int id = ++requestId;
    EXPECT_EQ(api->ReqAuthenticate(&req, id), 0);
    return waitAnswer("OnRspAuthenticate", id);
  }

  Event login(const std::string& user, const std::string& password) {
    CThostFtdcReqUserLoginField req{};
    put(req.BrokerID, "9999");
    put(req.UserID, user);
    put(req.Password, password);
    const int id = ++requestId;
    EXPECT_EQ(api->ReqUserLogin(&req, id), 0);
    return waitAnswer("OnRspUserLogin", id);
  }

  Event confirm(const std::string& investor) {
    CThostFtdcSettlementInfoConfirmField req{};
    put(req.BrokerID, "9999");
    put(req.InvestorID, investor);
    put(req.CurrencyID, "CNY");
    const int id = ++requestId;
    EXPECT_EQ(api->ReqSettlementInfoConfirm(&req, id), 0);
    return waitAnswer("OnRspSettlementInfoConfirm", id);
  }

  // Authenticated, logged in as u1 and confirmed.
  void ready() {
    ASSERT_EQ(authenticate("u1").errorId, 0);
    ASSERT_EQ(login("u1", "pw1").errorId, 0);
    ASSERT_EQ(confirm("u1").errorId, 0);
  }

  CThostFtdcInputOrderField order(const std::string& instrument, char direction, char offset, double price,
                                  int volume, const std::string& ref = "") {
    CThostFtdcInputOrderField o{};
    put(o.BrokerID, "9999");
    put(o.InvestorID, "u1");
    put(o.UserID, "u1");
    put(o.InstrumentID, instrument);
    put(o.OrderRef, ref);
    o.OrderPriceType = THOST_FTDC_OPT_LimitPrice;
    o.Direction = direction;
    o.CombOffsetFlag[0] = offset;
    o.CombHedgeFlag[0] = THOST_FTDC_HF_Speculation;
    o.LimitPrice = price;
    o.VolumeTotalOriginal = volume;
    o.TimeCondition = THOST_FTDC_TC_GFD;
    o.VolumeCondition = THOST_FTDC_VC_AV;
    o.MinVolume = 1;
    o.ContingentCondition = THOST_FTDC_CC_Immediately;
    o.ForceCloseReason = THOST_FTDC_FCC_NotForceClose;
    return o;
  }

  // The answer with request id `id` of callback `name`, waiting for its last part.
  Event waitAnswer(const std::string& name, int id) {
    Event found;
    spi.recorder.waitUntil([&](const std::vector<Event>& events) {
      for (const Event& e : events) {
        if (e.name == name && e.requestId == id && e.isLast) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  // Every part of the answer to request `id` of callback `name`, once its last part arrived.
  std::vector<Event> answers(const std::string& name, int id) {
    waitAnswer(name, id);
    std::vector<Event> out;
    for (const Event& e : spi.recorder.named(name)) {
      if (e.requestId == id) out.push_back(e);
    }
    return out;
  }

  RecordingTraderSpi spi;
  CThostFtdcTraderApi* api = nullptr;
  int requestId = 0;
};

}  // namespace qvsim_test

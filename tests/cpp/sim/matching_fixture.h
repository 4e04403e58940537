// Fixture for the exchange's matching seen from a trader object: pushed snapshots, orders, the
// reports of one order, and the account and position queries.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_fixture.h"

namespace qvsim_test {

// The latest order report among an order's events.
inline CThostFtdcOrderField lastOrder(const std::vector<Event>& events) {
  CThostFtdcOrderField out{};
  for (const Event& e : events) {
    if (e.name == "OnRtnOrder") out = e.as<CThostFtdcOrderField>();
  }
  return out;
}

class MatchingTest : public TraderTest {
 protected:
  void SetUp() override {
    TraderTest::SetUp();
    ready();
  }

  // A snapshot of rb2605 with one level each side.
  static CThostFtdcDepthMarketDataField depth(const char* instrument, double last, int volume, double bid, int bidVolume,
                                              double ask, int askVolume) {
    CThostFtdcDepthMarketDataField d{};
    put(d.InstrumentID, instrument);
    d.LastPrice = last;
    d.Volume = volume;
    d.BidPrice1 = bid;
    d.BidVolume1 = bidVolume;
    d.AskPrice1 = ask;
    d.AskVolume1 = askVolume;
    return d;
  }

  void push(const CThostFtdcDepthMarketDataField& d) { ASSERT_GE(qvsim_push_depth(&d, sizeof(d)), 0); }

  int insert(CThostFtdcInputOrderField o, CThostFtdcTraderApi* to = nullptr) {
    const int id = ++requestId;
    EXPECT_EQ((to != nullptr ? to : api)->ReqOrderInsert(&o, id), 0);
    return id;
  }

  // The order reports and trades of request `id` (order reports carry the request id, trades are
  // matched by the order's reference), once `reports` order reports arrived.
  std::vector<Event> reportsOf(RecordingTraderSpi& from, int id, std::size_t reports) {
    std::vector<Event> mine;
    from.recorder.waitUntil([&](const std::vector<Event>& events) {
      mine.clear();
      std::string ref;
      std::size_t orders = 0;
      for (const Event& e : events) {
        if (e.name == "OnRtnOrder" && e.as<CThostFtdcOrderField>().RequestID == id) {
          ref = text(e.as<CThostFtdcOrderField>().OrderRef);
          mine.push_back(e);
          ++orders;
        } else if (e.name == "OnRtnTrade" && !ref.empty() && text(e.as<CThostFtdcTradeField>().OrderRef) == ref) {
          mine.push_back(e);
        }
      }
      // Every fill's trade follows its order report.
      std::size_t fills = 0;
      std::size_t trades = 0;
      for (const Event& e : mine) {
        if (e.name == "OnRtnTrade") ++trades;
        if (e.name == "OnRtnOrder" && e.as<CThostFtdcOrderField>().VolumeTraded > 0 &&
            e.as<CThostFtdcOrderField>().OrderStatus != THOST_FTDC_OST_Canceled) {
          ++fills;
        }
      }
      return orders >= reports && trades >= fills;
    });
    return mine;
  }

  // Another trader object, logged in as `user` and confirmed. The caller releases it.
  CThostFtdcTraderApi* connect(RecordingTraderSpi& to, const std::string& user, const std::string& password) {
    CThostFtdcTraderApi* other = CThostFtdcTraderApi::CreateFtdcTraderApi("");
    other->RegisterSpi(&to);
    other->Init();
    to.recorder.waitFor("OnFrontConnected");
    CThostFtdcReqAuthenticateField auth{};
    put(auth.BrokerID, "9999");
    put(auth.UserID, user);
    put(auth.AppID, "simnow_client_test");
    put(auth.AuthCode, "0000000000000000");
    other->ReqAuthenticate(&auth, 1);
    to.recorder.waitFor("OnRspAuthenticate");
    CThostFtdcReqUserLoginField login{};
    put(login.BrokerID, "9999");
    put(login.UserID, user);
    put(login.Password, password);
    other->ReqUserLogin(&login, 2);
    to.recorder.waitFor("OnRspUserLogin");
    CThostFtdcSettlementInfoConfirmField confirmation{};
    other->ReqSettlementInfoConfirm(&confirmation, 3);
    to.recorder.waitFor("OnRspSettlementInfoConfirm");
    return other;
  }

  // The order of user u2, who trades against u1.
  CThostFtdcInputOrderField orderOf(const std::string& user, char direction, double price, int volume) {
    auto o = order("rb2605", direction, '0', price, volume);
    put(o.InvestorID, user);
    put(o.UserID, user);
    return o;
  }

  CThostFtdcTradingAccountField account() {
    CThostFtdcQryTradingAccountField q{};
    const int id = ++requestId;
    EXPECT_EQ(api->ReqQryTradingAccount(&q, id), 0);
    return waitAnswer("OnRspQryTradingAccount", id).as<CThostFtdcTradingAccountField>();
  }

  std::vector<CThostFtdcInvestorPositionField> positions(const std::string& instrument) {
    CThostFtdcQryInvestorPositionField q{};
    put(q.InstrumentID, instrument);
    const int id = ++requestId;
    EXPECT_EQ(api->ReqQryInvestorPosition(&q, id), 0);
    std::vector<CThostFtdcInvestorPositionField> out;
    for (const Event& e : answers("OnRspQryInvestorPosition", id)) {
      if (!e.record.empty()) out.push_back(e.as<CThostFtdcInvestorPositionField>());
    }
    return out;
  }
};

}  // namespace qvsim_test

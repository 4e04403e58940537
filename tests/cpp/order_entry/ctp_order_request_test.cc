// The insert request the CTP client builds from an order, as the stand-in trader library receives
// it: identity from the login record, the order's terms, OrderRef = OrderID, one request id per
// send; and a request the library refuses, seen on the order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/clock.h"
#include "base/text.h"
#include "ctp/ctp_trader_client.h"
#include "qvsim.h"
#include "trading/error_codes.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

struct Request {
  int requestId;
  int result;
  CThostFtdcInputOrderField record;
};

std::vector<Request> orderRequests() {
  std::vector<Request> out;
  const int count = qvsim_request_count();
  for (int i = 0; i < count; ++i) {
    char api = 0;
    char name[64] = {};
    Request r{};
    qvsim_request_at(i, &api, name, sizeof name, &r.requestId, &r.result, &r.record,
                     sizeof r.record);
    if (api == 'T' && std::string(name) == "ReqOrderInsert") out.push_back(r);
  }
  return out;
}

class CtpOrderRequest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qvsim_reset(), 0);
    ASSERT_EQ(qvsim_set_latency(0), 0);
    CQVLoginField login{};
    login.UserType = 20001;
    copyText(login.UserID, "u1");
    copyText(login.InvestorID, "inv1");
    copyText(login.BrokerID, "9999");
    copyText(login.TraderFront, "tcp://127.0.0.1:41205");
    copyText(login.MdFront, "tcp://127.0.0.1:41213");
    copyText(login.BasePath, "/tmp");
    copyText(login.MacAddress, "00-16-3E-01-02-03");
    copyText(login.OuterIPAddress, "10.1.2.3");
    // Clients live until the process ends (their holders are never freed); each test keeps its own.
    static auto* kept = new std::vector<CtpTraderClient*>();
    kept->push_back(new CtpTraderClient(0, login, nullptr, nullptr, nullptr));
    client_ = kept->back();
    const int64_t deadline = nowMicros() + 5000000;
    while (client_->sessionState() != kStateConnected && nowMicros() < deadline) sleepMicros(1000);
    ASSERT_EQ(client_->sessionState(), kStateConnected);
    qvsim_clear_requests();
    // The stand-in's broker would refuse these orders (no login) on its own thread; the tests
    // look at what was sent, so its answers are held back.
    ASSERT_GE(qvsim_hold_answers("ReqOrderInsert", -1), 0);
  }

  CtpTraderClient* client_ = nullptr;
};

TEST_F(CtpOrderRequest, CarriesTheOrderAndTheLoginIdentity) {
  OrderHolder* order = client_->buyOpen(nullptr, "SHFE", "rq2605", 3, 'B', 3512.5, 7);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->record.OrderStatus, '1');
  auto requests = orderRequests();
  ASSERT_EQ(requests.size(), 1u);
  const CThostFtdcInputOrderField& r = requests[0].record;
  EXPECT_STREQ(r.BrokerID, "9999");
  EXPECT_STREQ(r.InvestorID, "inv1");
  EXPECT_STREQ(r.UserID, "u1");
  EXPECT_STREQ(r.OrderRef, "107");
  EXPECT_STREQ(r.ExchangeID, "SHFE");
  EXPECT_STREQ(r.InstrumentID, "rq2605");
  EXPECT_EQ(r.Direction, '0');
  EXPECT_EQ(r.CombOffsetFlag[0], '0');
  EXPECT_EQ(r.CombHedgeFlag[0], '1');
  EXPECT_EQ(r.OrderPriceType, '2');
  EXPECT_EQ(r.TimeCondition, '1');  // 'B': limit, immediate or cancel
  EXPECT_EQ(r.VolumeCondition, '1');
  EXPECT_EQ(r.ContingentCondition, '1');
  EXPECT_EQ(r.LimitPrice, 3512.5);
  EXPECT_EQ(r.VolumeTotalOriginal, 3);
  EXPECT_EQ(r.MinVolume, 1);
  EXPECT_EQ(r.ForceCloseReason, '0');
  EXPECT_STREQ(r.MacAddress, "00-16-3E-01-02-03");
  EXPECT_STREQ(r.IPAddress, "10.1.2.3");

  client_->sellOpen(nullptr, "SHFE", "rq2605", 1, '0', 3500, 8);
  requests = orderRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_STREQ(requests[1].record.OrderRef, "208");
  EXPECT_EQ(requests[1].requestId, requests[0].requestId + 1);
}

TEST_F(CtpOrderRequest, RefusedRequestMarksTheOrder) {
  ASSERT_GE(qvsim_refuse_requests("ReqOrderInsert", -3, 1), 0);
  OrderHolder* order = client_->sellOpen(nullptr, "DCE", "rq2609", 2, '0', 3000, 1);
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->record.OrderStatus, '5');
  EXPECT_EQ(order->record.ErrorID, kErrSendFailed);
  EXPECT_NE(std::string(order->record.Message).find("ErrorMsg:Error:Fail To Sended."),
            std::string::npos);
}

}  // namespace
}  // namespace qv

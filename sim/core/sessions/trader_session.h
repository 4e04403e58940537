// SimTraderApi: the stand-in for the vendor's trader API object. Every request is checked and
// answered by the simulated broker (core/broker/broker.h) through the callbacks of CThostFtdcTraderSpi,
// delivered on the object's own library thread (core/sessions/session.h).
// Created by CThostFtdcTraderApi::CreateFtdcTraderApi; freed by Release. The world reaches it as an
// Endpoint (core/world/endpoint.h). Its override declarations and the answers of the requests the
// broker has none of its own for are generated from the facts table (tools/gen_sim_api.py).
// brokerSession_ and tradingDay_ are guarded by World::mu; spi_ is set before Init by the host.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "core/broker/broker.h"
#include "core/sessions/session.h"

namespace qvsim {

class SimTraderApi final : public CThostFtdcTraderApi, public Session {
 public:
  explicit SimTraderApi(const char* flowPath);
  ~SimTraderApi() override = default;

  CThostFtdcTraderSpi* spi() const { return spi_.load(); }

  // Endpoint: the investor while logged in, its exchange reports as OnRtnOrder / OnRtnTrade.
  void* spiHandle() const override { return spi(); }
  const std::string& loggedInInvestorLocked() const override;
  std::function<void()> reportCall(const Report& report) override;

#include "core/sessions/trader_api_overrides.inc"

 protected:
  void onConnectLocked() override;
  Call connectedCall() override;
  Call disconnectedCall(int reason) override;
  void onDropLocked() override;

 private:
  template <class Rec>
  using RspMethod = void (CThostFtdcTraderSpi::*)(Rec*, CThostFtdcRspInfoField*, int, bool);
  template <class Rec>
  using RtnMethod = void (CThostFtdcTraderSpi::*)(Rec*);
  template <class Rec>
  using ErrRtnMethod = void (CThostFtdcTraderSpi::*)(Rec*, CThostFtdcRspInfoField*);

  // Admits a request (copying its record) and, under World::mu, lets `build` produce its answers.
  // Requests named ReqQry... or ReqQuery... count as queries for flow control.
  template <class Req, class Build>
  int handle(const char* name, const Req* record, int requestId, Build build);
  // The same for orders and cancels, which reach the matching after the replay's order latency.
  template <class Req, class Build>
  int handleAtExchange(const char* name, const Req* record, int requestId, Build build);

  // One callback answering a request; a null optional passes a null pointer.
  template <class Rec>
  Call rsp(RspMethod<Rec> method, std::optional<Rec> record, std::optional<CThostFtdcRspInfoField> info,
           int requestId, bool isLast);
  template <class Rec>
  Call rtn(RtnMethod<Rec> method, const Rec& record);
  template <class Rec>
  Call errRtn(ErrRtnMethod<Rec> method, const Rec& record, const CThostFtdcRspInfoField& info);

  // A query answer: one response per record, the last with is-last; one empty response when none.
  template <class Rec>
  std::vector<Call> listAnswer(RspMethod<Rec> method, const std::vector<Rec>& records, int requestId);
  // A response carrying the request record back with the error text of errorId (0: success).
  template <class Rec>
  std::vector<Call> single(RspMethod<Rec> method, const std::optional<Rec>& record, int errorId, int requestId);
  // Queries the broker keeps no records for: one empty response.
  template <class Req, class Rec>
  int emptyQuery(const char* name, const Req* record, int requestId, RspMethod<Rec> method);
  // Requests the simulated broker does not support: the response carries error 27.
  template <class Req, class Rec>
  int unsupported(const char* name, const Req* record, int requestId, RspMethod<Rec> method);

  std::atomic<CThostFtdcTraderSpi*> spi_{nullptr};
  BrokerSession brokerSession_;
  char tradingDay_[9] = {};
  const std::string flowPath_;  // where the investor's trading day is kept, as the vendor's prefix
};

}  // namespace qvsim

#include "core/sessions/trader_session.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <cstring>
#include <mutex>
#include <type_traits>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/errors.h"
#include "core/text/fields.h"
#include "core/world/world.h"

namespace qvsim {

namespace {

bool isQueryName(const char* name) {
  return std::strncmp(name, "ReqQry", 6) == 0 || std::strncmp(name, "ReqQuery", 8) == 0;
}

template <class T>
std::optional<T> some(const T& value) {
  return std::optional<T>(value);
}

}  // namespace

SimTraderApi::SimTraderApi(const char* flowPath)
    : Session(Kind::kTrader), flowPath_(flowPath != nullptr ? std::string(flowPath, strnlen(flowPath, 4096)) : "") {}

namespace {

// The investor's database: the flow path is a prefix, as the vendor's files use it; a directory
// named without its slash is taken as the directory.
std::string storePathFor(const std::string& flowPath, const std::string& brokerId, const std::string& userId) {
  std::string prefix = flowPath;
  std::error_code ec;
  if (!prefix.empty() && prefix.back() != '/' && std::filesystem::is_directory(prefix, ec)) prefix += '/';
  std::string name;
  for (char c : brokerId + "_" + userId) name += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? c : '-';
  return prefix + "qvsim_" + name + ".sqlite3";
}

}  // namespace

template <class Req, class Build>
int SimTraderApi::handle(const char* name, const Req* record, int requestId, Build build) {
  Req req = copyRecord(record);
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  const int rc = admitLocked(name, &req, sizeof(req), requestId, isQueryName(name));
  if (rc != 0) return rc;
  answerLocked(name, build(req));
  return 0;
}

template <class Req, class Build>
int SimTraderApi::handleAtExchange(const char* name, const Req* record, int requestId, Build build) {
  Req req = copyRecord(record);
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  const int rc = admitLocked(name, &req, sizeof(req), requestId, false);
  if (rc != 0) return rc;
  Timeline& timeline = w.timeline();
  if (!timeline.delaysRequestsLocked()) {
    answerLocked(name, build(req));
    return 0;
  }
  timeline.delayLocked(this, [this, name, req, build]() mutable { answerLocked(name, build(req)); });
  return 0;
}

template <class Rec>
Session::Call SimTraderApi::rsp(RspMethod<Rec> method, std::optional<Rec> record,
                                std::optional<CThostFtdcRspInfoField> info, int requestId, bool isLast) {
  return [this, method, record, info, requestId, isLast]() mutable {
    if (CThostFtdcTraderSpi* s = spi()) {
      (s->*method)(record ? &*record : nullptr, info ? &*info : nullptr, requestId, isLast);
    }
  };
}

template <class Rec>
Session::Call SimTraderApi::rtn(RtnMethod<Rec> method, const Rec& record) {
  return [this, method, copy = record]() mutable {
    if (CThostFtdcTraderSpi* s = spi()) (s->*method)(&copy);
  };
}

template <class Rec>
Session::Call SimTraderApi::errRtn(ErrRtnMethod<Rec> method, const Rec& record, const CThostFtdcRspInfoField& info) {
  return [this, method, copy = record, infoCopy = info]() mutable {
    if (CThostFtdcTraderSpi* s = spi()) (s->*method)(&copy, &infoCopy);
  };
}

template <class Rec>
std::vector<Session::Call> SimTraderApi::listAnswer(RspMethod<Rec> method, const std::vector<Rec>& records,
                                                    int requestId) {
  std::vector<Call> calls;
  if (!brokerSession_.loggedIn) {
    calls.push_back(rsp<Rec>(method, std::nullopt, makeRspInfo(kErrNotLoggedIn), requestId, true));
    return calls;
  }
  if (records.empty()) {
    calls.push_back(rsp<Rec>(method, std::nullopt, std::nullopt, requestId, true));
    return calls;
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    calls.push_back(rsp<Rec>(method, records[i], std::nullopt, requestId, i + 1 == records.size()));
  }
  return calls;
}

template <class Rec>
std::vector<Session::Call> SimTraderApi::single(RspMethod<Rec> method, const std::optional<Rec>& record, int errorId,
                                                int requestId) {
  return {rsp<Rec>(method, record, makeRspInfo(errorId), requestId, true)};
}

template <class Req, class Rec>
int SimTraderApi::emptyQuery(const char* name, const Req* record, int requestId, RspMethod<Rec> method) {
  return handle(name, record, requestId, [&](Req&) { return listAnswer<Rec>(method, {}, requestId); });
}

template <class Req, class Rec>
int SimTraderApi::unsupported(const char* name, const Req* record, int requestId, RspMethod<Rec> method) {
  return handle(name, record, requestId, [&](Req& req) {
    std::optional<Rec> echo;
    if constexpr (std::is_same_v<Req, Rec>) echo = req;
    return single<Rec>(method, echo, kErrUnsupportedFunction, requestId);
  });
}

const std::string& SimTraderApi::loggedInInvestorLocked() const {
  static const std::string none;
  return brokerSession_.loggedIn ? brokerSession_.investorId : none;
}

std::function<void()> SimTraderApi::reportCall(const Report& report) {
  if (report.isStatus) return rtn(&CThostFtdcTraderSpi::OnRtnInstrumentStatus, report.status);
  return report.isTrade ? rtn(&CThostFtdcTraderSpi::OnRtnTrade, report.trade)
                        : rtn(&CThostFtdcTraderSpi::OnRtnOrder, report.order);
}

// ---- Life cycle ----

void SimTraderApi::Release() { releaseSelf(); }

void SimTraderApi::Init() { startThread(); }

int SimTraderApi::Join() { return joinThread(); }

const char* SimTraderApi::GetTradingDay() {
  World& w = World::get();
  std::lock_guard<std::mutex> lock(w.mu);
  return tradingDay_;
}

void SimTraderApi::RegisterFront(char* /*pszFrontAddress*/) {}
void SimTraderApi::RegisterNameServer(char* /*pszNsAddress*/) {}
void SimTraderApi::RegisterFensUserInfo(CThostFtdcFensUserInfoField* /*pFensUserInfo*/) {}
void SimTraderApi::RegisterSpi(CThostFtdcTraderSpi* pSpi) { spi_.store(pSpi); }
void SimTraderApi::SubscribePrivateTopic(THOST_TE_RESUME_TYPE /*nResumeType*/) {}
void SimTraderApi::SubscribePublicTopic(THOST_TE_RESUME_TYPE /*nResumeType*/) {}
int SimTraderApi::RegisterUserSystemInfo(CThostFtdcUserSystemInfoField* /*pUserSystemInfo*/) { return 0; }
int SimTraderApi::SubmitUserSystemInfo(CThostFtdcUserSystemInfoField* /*pUserSystemInfo*/) { return 0; }

void SimTraderApi::onConnectLocked() {
  World& w = World::get();
  brokerSession_ = BrokerSession{};
  brokerSession_.frontId = w.scenario.frontId;
  brokerSession_.sessionId = w.broker.nextSessionId();
}

Session::Call SimTraderApi::connectedCall() {
  return [this] {
    if (CThostFtdcTraderSpi* s = spi()) s->OnFrontConnected();
  };
}

Session::Call SimTraderApi::disconnectedCall(int reason) {
  return [this, reason] {
    if (CThostFtdcTraderSpi* s = spi()) s->OnFrontDisconnected(reason);
  };
}

void SimTraderApi::onDropLocked() {
  brokerSession_ = BrokerSession{};
  World::get().timeline().forgetRequestsLocked(this);
}

// ---- Session requests ----

int SimTraderApi::ReqAuthenticate(CThostFtdcReqAuthenticateField* p, int id) {
  return handle("ReqAuthenticate", p, id, [&](CThostFtdcReqAuthenticateField& req) {
    CThostFtdcRspAuthenticateField out;
    const int err = World::get().broker.authenticate(brokerSession_, req, out);
    return single(&CThostFtdcTraderSpi::OnRspAuthenticate, some(out), err, id);
  });
}

int SimTraderApi::ReqUserLogin(CThostFtdcReqUserLoginField* p, int id) {
  return handle("ReqUserLogin", p, id, [&](CThostFtdcReqUserLoginField& req) {
    CThostFtdcRspUserLoginField out;
    World& w = World::get();
    const std::string store =
        w.settings.persist ? storePathFor(flowPath_, w.scenario.brokerId, getText(req.UserID)) : std::string();
    const int err = w.broker.login(brokerSession_, req, out, store);
    if (err == kErrNone) setText(tradingDay_, getText(out.TradingDay));
    return single(&CThostFtdcTraderSpi::OnRspUserLogin, some(out), err, id);
  });
}

int SimTraderApi::ReqUserLogout(CThostFtdcUserLogoutField* p, int id) {
  return handle("ReqUserLogout", p, id, [&](CThostFtdcUserLogoutField& req) {
    const int err = World::get().broker.logout(brokerSession_, req);
    return single(&CThostFtdcTraderSpi::OnRspUserLogout, some(req), err, id);
  });
}

int SimTraderApi::ReqUserPasswordUpdate(CThostFtdcUserPasswordUpdateField* p, int id) {
  return handle("ReqUserPasswordUpdate", p, id, [&](CThostFtdcUserPasswordUpdateField& req) {
    const int err = World::get().broker.updateUserPassword(brokerSession_, req);
    return single(&CThostFtdcTraderSpi::OnRspUserPasswordUpdate, some(req), err, id);
  });
}

int SimTraderApi::ReqTradingAccountPasswordUpdate(CThostFtdcTradingAccountPasswordUpdateField* p, int id) {
  return handle("ReqTradingAccountPasswordUpdate", p, id, [&](CThostFtdcTradingAccountPasswordUpdateField& req) {
    const int err = World::get().broker.updateAccountPassword(brokerSession_, req);
    return single(&CThostFtdcTraderSpi::OnRspTradingAccountPasswordUpdate, some(req), err, id);
  });
}

int SimTraderApi::ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* p, int id) {
  return handle("ReqSettlementInfoConfirm", p, id, [&](CThostFtdcSettlementInfoConfirmField& req) {
    CThostFtdcSettlementInfoConfirmField out = req;
    const int err = World::get().broker.confirmSettlement(brokerSession_, out);
    return single(&CThostFtdcTraderSpi::OnRspSettlementInfoConfirm, some(err == kErrNone ? out : req), err, id);
  });
}

// ---- Orders ----

int SimTraderApi::ReqOrderInsert(CThostFtdcInputOrderField* p, int id) {
  return handleAtExchange("ReqOrderInsert", p, id, [this, id](CThostFtdcInputOrderField& req) {
    OrderOutcome outcome = World::get().broker.insertOrder(brokerSession_, req, id);
    std::vector<Call> calls;
    if (outcome.errorId != kErrNone) {
      // A broker rejection: the response and the error return both carry the request.
      const CThostFtdcRspInfoField info = makeRspInfo(outcome.errorId);
      calls.push_back(rsp(&CThostFtdcTraderSpi::OnRspOrderInsert, some(req), some(info), id, true));
      calls.push_back(errRtn(&CThostFtdcTraderSpi::OnErrRtnOrderInsert, req, info));
      return calls;
    }
    for (const auto& report : outcome.reports) calls.push_back(rtn(&CThostFtdcTraderSpi::OnRtnOrder, report));
    World& w = World::get();
    w.broadcastOrdersLocked(this, brokerSession_.investorId, outcome.reports);
    w.deliverReportsLocked(outcome.followUps, this, &calls);
    return calls;
  });
}

int SimTraderApi::ReqOrderAction(CThostFtdcInputOrderActionField* p, int id) {
  return handleAtExchange("ReqOrderAction", p, id, [this, id](CThostFtdcInputOrderActionField& req) {
    OrderOutcome outcome = World::get().broker.cancelOrder(brokerSession_, req, id);
    std::vector<Call> calls;
    if (outcome.errorId != kErrNone) {
      const CThostFtdcRspInfoField info = makeRspInfo(outcome.errorId);
      calls.push_back(rsp(&CThostFtdcTraderSpi::OnRspOrderAction, some(req), some(info), id, true));
      calls.push_back(errRtn(&CThostFtdcTraderSpi::OnErrRtnOrderAction, outcome.action, info));
      return calls;
    }
    for (const auto& report : outcome.reports) calls.push_back(rtn(&CThostFtdcTraderSpi::OnRtnOrder, report));
    World::get().broadcastOrdersLocked(this, brokerSession_.investorId, outcome.reports);
    return calls;
  });
}

int SimTraderApi::ReqQueryMaxOrderVolume(CThostFtdcQueryMaxOrderVolumeField* p, int id) {
  return handle("ReqQueryMaxOrderVolume", p, id, [&](CThostFtdcQueryMaxOrderVolumeField& q) {
    const int err = World::get().broker.maxOrderVolume(brokerSession_, q);
    return single(&CThostFtdcTraderSpi::OnRspQueryMaxOrderVolume, some(q), err, id);
  });
}

// ---- Queries the broker answers ----

int SimTraderApi::ReqQryOrder(CThostFtdcQryOrderField* p, int id) {
  return handle("ReqQryOrder", p, id, [&](CThostFtdcQryOrderField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryOrder, World::get().broker.orders(brokerSession_, q), id);
  });
}

int SimTraderApi::ReqQryTrade(CThostFtdcQryTradeField* p, int id) {
  return handle("ReqQryTrade", p, id, [&](CThostFtdcQryTradeField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryTrade, World::get().broker.trades(brokerSession_, q), id);
  });
}

int SimTraderApi::ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField* p, int id) {
  return handle("ReqQryInvestorPosition", p, id, [&](CThostFtdcQryInvestorPositionField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryInvestorPosition, World::get().broker.positions(brokerSession_, q),
                      id);
  });
}

int SimTraderApi::ReqQryTradingAccount(CThostFtdcQryTradingAccountField* p, int id) {
  return handle("ReqQryTradingAccount", p, id, [&](CThostFtdcQryTradingAccountField&) {
    std::vector<CThostFtdcTradingAccountField> records;
    if (brokerSession_.loggedIn) records.push_back(World::get().broker.account(brokerSession_));
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryTradingAccount, records, id);
  });
}

int SimTraderApi::ReqQryInvestor(CThostFtdcQryInvestorField* p, int id) {
  return handle("ReqQryInvestor", p, id, [&](CThostFtdcQryInvestorField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryInvestor, World::get().broker.investors(brokerSession_), id);
  });
}

int SimTraderApi::ReqQryTradingCode(CThostFtdcQryTradingCodeField* p, int id) {
  return handle("ReqQryTradingCode", p, id, [&](CThostFtdcQryTradingCodeField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryTradingCode, World::get().broker.tradingCodes(brokerSession_, q),
                      id);
  });
}

int SimTraderApi::ReqQryInstrumentMarginRate(CThostFtdcQryInstrumentMarginRateField* p, int id) {
  return handle("ReqQryInstrumentMarginRate", p, id, [&](CThostFtdcQryInstrumentMarginRateField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryInstrumentMarginRate,
                      World::get().broker.marginRates(brokerSession_, q), id);
  });
}

int SimTraderApi::ReqQryInstrumentCommissionRate(CThostFtdcQryInstrumentCommissionRateField* p, int id) {
  return handle("ReqQryInstrumentCommissionRate", p, id, [&](CThostFtdcQryInstrumentCommissionRateField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryInstrumentCommissionRate,
                      World::get().broker.commissionRates(brokerSession_, q), id);
  });
}

int SimTraderApi::ReqQryExchange(CThostFtdcQryExchangeField* p, int id) {
  return handle("ReqQryExchange", p, id, [&](CThostFtdcQryExchangeField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryExchange, World::get().broker.exchanges(q), id);
  });
}

int SimTraderApi::ReqQryProduct(CThostFtdcQryProductField* p, int id) {
  return handle("ReqQryProduct", p, id, [&](CThostFtdcQryProductField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryProduct, World::get().broker.products(q), id);
  });
}

int SimTraderApi::ReqQryInstrument(CThostFtdcQryInstrumentField* p, int id) {
  return handle("ReqQryInstrument", p, id, [&](CThostFtdcQryInstrumentField& q) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryInstrument, World::get().broker.instrumentRecords(q), id);
  });
}

int SimTraderApi::ReqQryDepthMarketData(CThostFtdcQryDepthMarketDataField* p, int id) {
  return handle("ReqQryDepthMarketData", p, id, [&](CThostFtdcQryDepthMarketDataField& q) {
    World& w = World::get();
    std::vector<CThostFtdcDepthMarketDataField> records;
    for (const auto& [instrumentId, ins] : w.broker.instruments()) {
      if (!getText(q.InstrumentID).empty() && getText(q.InstrumentID) != instrumentId) continue;
      if (!getText(q.ExchangeID).empty() && getText(q.ExchangeID) != ins.def.exchangeId) continue;
      if (const auto* depth = w.market.snapshot(instrumentId, nullptr)) records.push_back(*depth);
    }
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryDepthMarketData, records, id);
  });
}

int SimTraderApi::ReqQrySettlementInfo(CThostFtdcQrySettlementInfoField* p, int id) {
  return handle("ReqQrySettlementInfo", p, id, [&](CThostFtdcQrySettlementInfoField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQrySettlementInfo, World::get().broker.settlementInfo(brokerSession_),
                      id);
  });
}

int SimTraderApi::ReqQrySettlementInfoConfirm(CThostFtdcQrySettlementInfoConfirmField* p, int id) {
  return handle("ReqQrySettlementInfoConfirm", p, id, [&](CThostFtdcQrySettlementInfoConfirmField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQrySettlementInfoConfirm,
                      World::get().broker.settlementConfirms(brokerSession_), id);
  });
}

int SimTraderApi::ReqQryTransferSerial(CThostFtdcQryTransferSerialField* p, int id) {
  return handle("ReqQryTransferSerial", p, id, [&](CThostFtdcQryTransferSerialField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryTransferSerial,
                      World::get().broker.transferSerials(brokerSession_), id);
  });
}

int SimTraderApi::ReqQryAccountregister(CThostFtdcQryAccountregisterField* p, int id) {
  return handle("ReqQryAccountregister", p, id, [&](CThostFtdcQryAccountregisterField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryAccountregister,
                      World::get().broker.accountRegisters(brokerSession_), id);
  });
}

int SimTraderApi::ReqQryContractBank(CThostFtdcQryContractBankField* p, int id) {
  return handle("ReqQryContractBank", p, id, [&](CThostFtdcQryContractBankField&) {
    return listAnswer(&CThostFtdcTraderSpi::OnRspQryContractBank, World::get().broker.contractBanks(), id);
  });
}

int SimTraderApi::ReqQueryCFMMCTradingAccountToken(CThostFtdcQueryCFMMCTradingAccountTokenField* p, int id) {
  return handle("ReqQueryCFMMCTradingAccountToken", p, id, [&](CThostFtdcQueryCFMMCTradingAccountTokenField& req) {
    if (!brokerSession_.loggedIn) {
      return single(&CThostFtdcTraderSpi::OnRspQueryCFMMCTradingAccountToken, some(req), kErrNotLoggedIn, id);
    }
    // The token itself arrives as a return after the (empty) response, as the margin monitor sends it.
    std::vector<Call> calls =
        single(&CThostFtdcTraderSpi::OnRspQueryCFMMCTradingAccountToken, some(req), kErrNone, id);
    auto token = zeroRecord<CThostFtdcCFMMCTradingAccountTokenField>();
    setText(token.BrokerID, World::get().scenario.brokerId);
    setText(token.ParticipantID, World::get().scenario.brokerId);
    setText(token.AccountID, brokerSession_.investorId);
    token.KeyID = 1;
    setText(token.Token, "SIM" + brokerSession_.investorId + World::get().broker.tradingDay());
    calls.push_back(rtn(&CThostFtdcTraderSpi::OnRtnCFMMCTradingAccountToken, token));
    return calls;
  });
}

// ---- Bank transfers ----

int SimTraderApi::ReqFromBankToFutureByFuture(CThostFtdcReqTransferField* p, int id) {
  return handle("ReqFromBankToFutureByFuture", p, id, [&](CThostFtdcReqTransferField& req) {
    CThostFtdcRspTransferField out;
    const int err = World::get().broker.transfer(brokerSession_, req, true, out);
    if (err == kErrNone) return std::vector<Call>{rtn(&CThostFtdcTraderSpi::OnRtnFromBankToFutureByFuture, out)};
    const CThostFtdcRspInfoField info = makeRspInfo(err);
    return std::vector<Call>{rsp(&CThostFtdcTraderSpi::OnRspFromBankToFutureByFuture, some(req), some(info), id, true),
                             errRtn(&CThostFtdcTraderSpi::OnErrRtnBankToFutureByFuture, req, info)};
  });
}

int SimTraderApi::ReqFromFutureToBankByFuture(CThostFtdcReqTransferField* p, int id) {
  return handle("ReqFromFutureToBankByFuture", p, id, [&](CThostFtdcReqTransferField& req) {
    CThostFtdcRspTransferField out;
    const int err = World::get().broker.transfer(brokerSession_, req, false, out);
    if (err == kErrNone) return std::vector<Call>{rtn(&CThostFtdcTraderSpi::OnRtnFromFutureToBankByFuture, out)};
    const CThostFtdcRspInfoField info = makeRspInfo(err);
    return std::vector<Call>{rsp(&CThostFtdcTraderSpi::OnRspFromFutureToBankByFuture, some(req), some(info), id, true),
                             errRtn(&CThostFtdcTraderSpi::OnErrRtnFutureToBankByFuture, req, info)};
  });
}

int SimTraderApi::ReqQueryBankAccountMoneyByFuture(CThostFtdcReqQueryAccountField* p, int id) {
  return handle("ReqQueryBankAccountMoneyByFuture", p, id, [&](CThostFtdcReqQueryAccountField& req) {
    CThostFtdcNotifyQueryAccountField out;
    const int err = World::get().broker.bankBalance(brokerSession_, req, out);
    if (err == kErrNone) return std::vector<Call>{rtn(&CThostFtdcTraderSpi::OnRtnQueryBankBalanceByFuture, out)};
    const CThostFtdcRspInfoField info = makeRspInfo(err);
    return std::vector<Call>{
        rsp(&CThostFtdcTraderSpi::OnRspQueryBankAccountMoneyByFuture, some(req), some(info), id, true),
        errRtn(&CThostFtdcTraderSpi::OnErrRtnQueryBankBalanceByFuture, req, info)};
  });
}

#include "core/sessions/trader_default_requests.inc"

}  // namespace qvsim

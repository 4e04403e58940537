// SimTraderApi: the stand-in for the vendor's trader API object. Every request is checked and
// answered by the simulated broker (core/broker.h) through the callbacks of CThostFtdcTraderSpi,
// delivered on the object's own library thread (core/session.h).
// Created by CThostFtdcTraderApi::CreateFtdcTraderApi; freed by Release.
// brokerSession_ and tradingDay_ are guarded by World::mu; spi_ is set before Init by the host.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "core/broker.h"
#include "core/session.h"

namespace qvsim {

class SimTraderApi final : public CThostFtdcTraderApi, public Session {
 public:
  explicit SimTraderApi(const char* flowPath);
  ~SimTraderApi() override = default;

  // The investor this object is logged in as, or empty. REQUIRES: World::mu held.
  const std::string& investorLocked() const { return brokerSession_.investorId; }
  bool loggedInLocked() const { return brokerSession_.loggedIn; }

  // Queues exchange reports (order states and trades) for every logged-in session of their
  // investors, in order. The reports of `answering`'s own investor join answerCalls instead, behind
  // its answer, when given. REQUIRES: World::mu held.
  static void deliverReportsLocked(const std::vector<Report>& reports, SimTraderApi* answering,
                                   std::vector<Call>* answerCalls);
  CThostFtdcTraderSpi* spi() const { return spi_.load(); }

  void Release() override;
  void Init() override;
  int Join() override;
  const char* GetTradingDay() override;
  void RegisterFront(char* pszFrontAddress) override;
  void RegisterNameServer(char* pszNsAddress) override;
  void RegisterFensUserInfo(CThostFtdcFensUserInfoField* pFensUserInfo) override;
  void RegisterSpi(CThostFtdcTraderSpi* pSpi) override;
  void SubscribePrivateTopic(THOST_TE_RESUME_TYPE nResumeType) override;
  void SubscribePublicTopic(THOST_TE_RESUME_TYPE nResumeType) override;
  int ReqAuthenticate(CThostFtdcReqAuthenticateField* pReqAuthenticateField, int nRequestID) override;
  int RegisterUserSystemInfo(CThostFtdcUserSystemInfoField* pUserSystemInfo) override;
  int SubmitUserSystemInfo(CThostFtdcUserSystemInfoField* pUserSystemInfo) override;
  int ReqUserLogin(CThostFtdcReqUserLoginField* pReqUserLoginField, int nRequestID) override;
  int ReqUserLogout(CThostFtdcUserLogoutField* pUserLogout, int nRequestID) override;
  int ReqUserPasswordUpdate(CThostFtdcUserPasswordUpdateField* pUserPasswordUpdate, int nRequestID) override;
  int ReqTradingAccountPasswordUpdate(CThostFtdcTradingAccountPasswordUpdateField* pTradingAccountPasswordUpdate,
                                      int nRequestID) override;
  int ReqUserAuthMethod(CThostFtdcReqUserAuthMethodField* pReqUserAuthMethod, int nRequestID) override;
  int ReqGenUserCaptcha(CThostFtdcReqGenUserCaptchaField* pReqGenUserCaptcha, int nRequestID) override;
  int ReqGenUserText(CThostFtdcReqGenUserTextField* pReqGenUserText, int nRequestID) override;
  int ReqUserLoginWithCaptcha(CThostFtdcReqUserLoginWithCaptchaField* pReqUserLoginWithCaptcha, int nRequestID) override;
  int ReqUserLoginWithText(CThostFtdcReqUserLoginWithTextField* pReqUserLoginWithText, int nRequestID) override;
  int ReqUserLoginWithOTP(CThostFtdcReqUserLoginWithOTPField* pReqUserLoginWithOTP, int nRequestID) override;
  int ReqOrderInsert(CThostFtdcInputOrderField* pInputOrder, int nRequestID) override;
  int ReqParkedOrderInsert(CThostFtdcParkedOrderField* pParkedOrder, int nRequestID) override;
  int ReqParkedOrderAction(CThostFtdcParkedOrderActionField* pParkedOrderAction, int nRequestID) override;
  int ReqOrderAction(CThostFtdcInputOrderActionField* pInputOrderAction, int nRequestID) override;
  int ReqQueryMaxOrderVolume(CThostFtdcQueryMaxOrderVolumeField* pQueryMaxOrderVolume, int nRequestID) override;
  int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* pSettlementInfoConfirm, int nRequestID) override;
  int ReqRemoveParkedOrder(CThostFtdcRemoveParkedOrderField* pRemoveParkedOrder, int nRequestID) override;
  int ReqRemoveParkedOrderAction(CThostFtdcRemoveParkedOrderActionField* pRemoveParkedOrderAction,
                                 int nRequestID) override;
  int ReqExecOrderInsert(CThostFtdcInputExecOrderField* pInputExecOrder, int nRequestID) override;
  int ReqExecOrderAction(CThostFtdcInputExecOrderActionField* pInputExecOrderAction, int nRequestID) override;
  int ReqForQuoteInsert(CThostFtdcInputForQuoteField* pInputForQuote, int nRequestID) override;
  int ReqQuoteInsert(CThostFtdcInputQuoteField* pInputQuote, int nRequestID) override;
  int ReqQuoteAction(CThostFtdcInputQuoteActionField* pInputQuoteAction, int nRequestID) override;
  int ReqBatchOrderAction(CThostFtdcInputBatchOrderActionField* pInputBatchOrderAction, int nRequestID) override;
  int ReqOptionSelfCloseInsert(CThostFtdcInputOptionSelfCloseField* pInputOptionSelfClose, int nRequestID) override;
  int ReqOptionSelfCloseAction(CThostFtdcInputOptionSelfCloseActionField* pInputOptionSelfCloseAction,
                               int nRequestID) override;
  int ReqCombActionInsert(CThostFtdcInputCombActionField* pInputCombAction, int nRequestID) override;
  int ReqQryOrder(CThostFtdcQryOrderField* pQryOrder, int nRequestID) override;
  int ReqQryTrade(CThostFtdcQryTradeField* pQryTrade, int nRequestID) override;
  int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField* pQryInvestorPosition, int nRequestID) override;
  int ReqQryTradingAccount(CThostFtdcQryTradingAccountField* pQryTradingAccount, int nRequestID) override;
  int ReqQryInvestor(CThostFtdcQryInvestorField* pQryInvestor, int nRequestID) override;
  int ReqQryTradingCode(CThostFtdcQryTradingCodeField* pQryTradingCode, int nRequestID) override;
  int ReqQryInstrumentMarginRate(CThostFtdcQryInstrumentMarginRateField* pQryInstrumentMarginRate,
                                 int nRequestID) override;
  int ReqQryInstrumentCommissionRate(CThostFtdcQryInstrumentCommissionRateField* pQryInstrumentCommissionRate,
                                     int nRequestID) override;
  int ReqQryExchange(CThostFtdcQryExchangeField* pQryExchange, int nRequestID) override;
  int ReqQryProduct(CThostFtdcQryProductField* pQryProduct, int nRequestID) override;
  int ReqQryInstrument(CThostFtdcQryInstrumentField* pQryInstrument, int nRequestID) override;
  int ReqQryDepthMarketData(CThostFtdcQryDepthMarketDataField* pQryDepthMarketData, int nRequestID) override;
  int ReqQrySettlementInfo(CThostFtdcQrySettlementInfoField* pQrySettlementInfo, int nRequestID) override;
  int ReqQryTransferBank(CThostFtdcQryTransferBankField* pQryTransferBank, int nRequestID) override;
  int ReqQryInvestorPositionDetail(CThostFtdcQryInvestorPositionDetailField* pQryInvestorPositionDetail,
                                   int nRequestID) override;
  int ReqQryNotice(CThostFtdcQryNoticeField* pQryNotice, int nRequestID) override;
  int ReqQrySettlementInfoConfirm(CThostFtdcQrySettlementInfoConfirmField* pQrySettlementInfoConfirm,
                                  int nRequestID) override;
  int ReqQryInvestorPositionCombineDetail(
      CThostFtdcQryInvestorPositionCombineDetailField* pQryInvestorPositionCombineDetail, int nRequestID) override;
  int ReqQryCFMMCTradingAccountKey(CThostFtdcQryCFMMCTradingAccountKeyField* pQryCFMMCTradingAccountKey,
                                   int nRequestID) override;
  int ReqQryEWarrantOffset(CThostFtdcQryEWarrantOffsetField* pQryEWarrantOffset, int nRequestID) override;
  int ReqQryInvestorProductGroupMargin(CThostFtdcQryInvestorProductGroupMarginField* pQryInvestorProductGroupMargin,
                                       int nRequestID) override;
  int ReqQryExchangeMarginRate(CThostFtdcQryExchangeMarginRateField* pQryExchangeMarginRate, int nRequestID) override;
  int ReqQryExchangeMarginRateAdjust(CThostFtdcQryExchangeMarginRateAdjustField* pQryExchangeMarginRateAdjust,
                                     int nRequestID) override;
  int ReqQryExchangeRate(CThostFtdcQryExchangeRateField* pQryExchangeRate, int nRequestID) override;
  int ReqQrySecAgentACIDMap(CThostFtdcQrySecAgentACIDMapField* pQrySecAgentACIDMap, int nRequestID) override;
  int ReqQryProductExchRate(CThostFtdcQryProductExchRateField* pQryProductExchRate, int nRequestID) override;
  int ReqQryProductGroup(CThostFtdcQryProductGroupField* pQryProductGroup, int nRequestID) override;
  int ReqQryMMInstrumentCommissionRate(CThostFtdcQryMMInstrumentCommissionRateField* pQryMMInstrumentCommissionRate,
                                       int nRequestID) override;
  int ReqQryMMOptionInstrCommRate(CThostFtdcQryMMOptionInstrCommRateField* pQryMMOptionInstrCommRate,
                                  int nRequestID) override;
  int ReqQryInstrumentOrderCommRate(CThostFtdcQryInstrumentOrderCommRateField* pQryInstrumentOrderCommRate,
                                    int nRequestID) override;
  int ReqQrySecAgentTradingAccount(CThostFtdcQryTradingAccountField* pQryTradingAccount, int nRequestID) override;
  int ReqQrySecAgentCheckMode(CThostFtdcQrySecAgentCheckModeField* pQrySecAgentCheckMode, int nRequestID) override;
  int ReqQrySecAgentTradeInfo(CThostFtdcQrySecAgentTradeInfoField* pQrySecAgentTradeInfo, int nRequestID) override;
  int ReqQryOptionInstrTradeCost(CThostFtdcQryOptionInstrTradeCostField* pQryOptionInstrTradeCost,
                                 int nRequestID) override;
  int ReqQryOptionInstrCommRate(CThostFtdcQryOptionInstrCommRateField* pQryOptionInstrCommRate,
                                int nRequestID) override;
  int ReqQryExecOrder(CThostFtdcQryExecOrderField* pQryExecOrder, int nRequestID) override;
  int ReqQryForQuote(CThostFtdcQryForQuoteField* pQryForQuote, int nRequestID) override;
  int ReqQryQuote(CThostFtdcQryQuoteField* pQryQuote, int nRequestID) override;
  int ReqQryOptionSelfClose(CThostFtdcQryOptionSelfCloseField* pQryOptionSelfClose, int nRequestID) override;
  int ReqQryInvestUnit(CThostFtdcQryInvestUnitField* pQryInvestUnit, int nRequestID) override;
  int ReqQryCombInstrumentGuard(CThostFtdcQryCombInstrumentGuardField* pQryCombInstrumentGuard,
                                int nRequestID) override;
  int ReqQryCombAction(CThostFtdcQryCombActionField* pQryCombAction, int nRequestID) override;
  int ReqQryTransferSerial(CThostFtdcQryTransferSerialField* pQryTransferSerial, int nRequestID) override;
  int ReqQryAccountregister(CThostFtdcQryAccountregisterField* pQryAccountregister, int nRequestID) override;
  int ReqQryContractBank(CThostFtdcQryContractBankField* pQryContractBank, int nRequestID) override;
  int ReqQryParkedOrder(CThostFtdcQryParkedOrderField* pQryParkedOrder, int nRequestID) override;
  int ReqQryParkedOrderAction(CThostFtdcQryParkedOrderActionField* pQryParkedOrderAction, int nRequestID) override;
  int ReqQryTradingNotice(CThostFtdcQryTradingNoticeField* pQryTradingNotice, int nRequestID) override;
  int ReqQryBrokerTradingParams(CThostFtdcQryBrokerTradingParamsField* pQryBrokerTradingParams,
                                int nRequestID) override;
  int ReqQryBrokerTradingAlgos(CThostFtdcQryBrokerTradingAlgosField* pQryBrokerTradingAlgos, int nRequestID) override;
  int ReqQueryCFMMCTradingAccountToken(CThostFtdcQueryCFMMCTradingAccountTokenField* pQueryCFMMCTradingAccountToken,
                                       int nRequestID) override;
  int ReqFromBankToFutureByFuture(CThostFtdcReqTransferField* pReqTransfer, int nRequestID) override;
  int ReqFromFutureToBankByFuture(CThostFtdcReqTransferField* pReqTransfer, int nRequestID) override;
  int ReqQueryBankAccountMoneyByFuture(CThostFtdcReqQueryAccountField* pReqQueryAccount, int nRequestID) override;

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

  // Queues order reports for every other session of the same investor. REQUIRES: World::mu held.
  void broadcastLocked(const std::vector<CThostFtdcOrderField>& reports);

  std::atomic<CThostFtdcTraderSpi*> spi_{nullptr};
  BrokerSession brokerSession_;
  char tradingDay_[9] = {};
  const std::string flowPath_;  // where the investor's trading day is kept, as the vendor's prefix
};

}  // namespace qvsim

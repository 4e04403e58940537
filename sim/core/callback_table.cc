#include "core/callback_table.h"

#include <map>

#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"

namespace qvsim {

namespace {

using Info = CThostFtdcRspInfoField;

// One overload per callback shape; the record type and size come from the member's own signature.
template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*, Info*, int, bool)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) {
            (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record), a.info, a.requestId, a.isLast);
          }};
}

template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*, Info*)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record), a.info); }};
}

template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record)); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)(Info*, int, bool)) {
  return {0, [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(a.info, a.requestId, a.isLast); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)(int)) {
  return {0, [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(a.number); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)()) {
  return {0, [m](void* spi, CallbackArgs&) { (static_cast<Spi*>(spi)->*m)(); }};
}

// Every callback of CThostFtdcTraderSpi, in declaration order.
#define QVSIM_TRADER_CALLBACKS(X)                                                                                 \
  X(OnFrontConnected) X(OnFrontDisconnected) X(OnHeartBeatWarning) X(OnRspAuthenticate) X(OnRspUserLogin)        \
  X(OnRspUserLogout) X(OnRspUserPasswordUpdate) X(OnRspTradingAccountPasswordUpdate) X(OnRspUserAuthMethod)       \
  X(OnRspGenUserCaptcha) X(OnRspGenUserText) X(OnRspOrderInsert) X(OnRspParkedOrderInsert)                        \
  X(OnRspParkedOrderAction) X(OnRspOrderAction) X(OnRspQueryMaxOrderVolume) X(OnRspSettlementInfoConfirm)         \
  X(OnRspRemoveParkedOrder) X(OnRspRemoveParkedOrderAction) X(OnRspExecOrderInsert) X(OnRspExecOrderAction)       \
  X(OnRspForQuoteInsert) X(OnRspQuoteInsert) X(OnRspQuoteAction) X(OnRspBatchOrderAction)                        \
  X(OnRspOptionSelfCloseInsert) X(OnRspOptionSelfCloseAction) X(OnRspCombActionInsert) X(OnRspQryOrder)           \
  X(OnRspQryTrade) X(OnRspQryInvestorPosition) X(OnRspQryTradingAccount) X(OnRspQryInvestor)                      \
  X(OnRspQryTradingCode) X(OnRspQryInstrumentMarginRate) X(OnRspQryInstrumentCommissionRate)                      \
  X(OnRspQryExchange) X(OnRspQryProduct) X(OnRspQryInstrument) X(OnRspQryDepthMarketData)                         \
  X(OnRspQrySettlementInfo) X(OnRspQryTransferBank) X(OnRspQryInvestorPositionDetail) X(OnRspQryNotice)           \
  X(OnRspQrySettlementInfoConfirm) X(OnRspQryInvestorPositionCombineDetail) X(OnRspQryCFMMCTradingAccountKey)     \
  X(OnRspQryEWarrantOffset) X(OnRspQryInvestorProductGroupMargin) X(OnRspQryExchangeMarginRate)                   \
  X(OnRspQryExchangeMarginRateAdjust) X(OnRspQryExchangeRate) X(OnRspQrySecAgentACIDMap)                          \
  X(OnRspQryProductExchRate) X(OnRspQryProductGroup) X(OnRspQryMMInstrumentCommissionRate)                        \
  X(OnRspQryMMOptionInstrCommRate) X(OnRspQryInstrumentOrderCommRate) X(OnRspQrySecAgentTradingAccount)           \
  X(OnRspQrySecAgentCheckMode) X(OnRspQrySecAgentTradeInfo) X(OnRspQryOptionInstrTradeCost)                       \
  X(OnRspQryOptionInstrCommRate) X(OnRspQryExecOrder) X(OnRspQryForQuote) X(OnRspQryQuote)                        \
  X(OnRspQryOptionSelfClose) X(OnRspQryInvestUnit) X(OnRspQryCombInstrumentGuard) X(OnRspQryCombAction)           \
  X(OnRspQryTransferSerial) X(OnRspQryAccountregister) X(OnRspError) X(OnRtnOrder) X(OnRtnTrade)                  \
  X(OnErrRtnOrderInsert) X(OnErrRtnOrderAction) X(OnRtnInstrumentStatus) X(OnRtnBulletin)                        \
  X(OnRtnTradingNotice) X(OnRtnErrorConditionalOrder) X(OnRtnExecOrder) X(OnErrRtnExecOrderInsert)                \
  X(OnErrRtnExecOrderAction) X(OnErrRtnForQuoteInsert) X(OnRtnQuote) X(OnErrRtnQuoteInsert)                      \
  X(OnErrRtnQuoteAction) X(OnRtnForQuoteRsp) X(OnRtnCFMMCTradingAccountToken) X(OnErrRtnBatchOrderAction)         \
  X(OnRtnOptionSelfClose) X(OnErrRtnOptionSelfCloseInsert) X(OnErrRtnOptionSelfCloseAction) X(OnRtnCombAction)   \
  X(OnErrRtnCombActionInsert) X(OnRspQryContractBank) X(OnRspQryParkedOrder) X(OnRspQryParkedOrderAction)         \
  X(OnRspQryTradingNotice) X(OnRspQryBrokerTradingParams) X(OnRspQryBrokerTradingAlgos)                          \
  X(OnRspQueryCFMMCTradingAccountToken) X(OnRtnFromBankToFutureByBank) X(OnRtnFromFutureToBankByBank)             \
  X(OnRtnRepealFromBankToFutureByBank) X(OnRtnRepealFromFutureToBankByBank) X(OnRtnFromBankToFutureByFuture)      \
  X(OnRtnFromFutureToBankByFuture) X(OnRtnRepealFromBankToFutureByFutureManual)                                   \
  X(OnRtnRepealFromFutureToBankByFutureManual) X(OnRtnQueryBankBalanceByFuture)                                   \
  X(OnErrRtnBankToFutureByFuture) X(OnErrRtnFutureToBankByFuture) X(OnErrRtnRepealBankToFutureByFutureManual)     \
  X(OnErrRtnRepealFutureToBankByFutureManual) X(OnErrRtnQueryBankBalanceByFuture)                                 \
  X(OnRtnRepealFromBankToFutureByFuture) X(OnRtnRepealFromFutureToBankByFuture)                                   \
  X(OnRspFromBankToFutureByFuture) X(OnRspFromFutureToBankByFuture) X(OnRspQueryBankAccountMoneyByFuture)         \
  X(OnRtnOpenAccountByBank) X(OnRtnCancelAccountByBank) X(OnRtnChangeAccountByBank)

// Every callback of CThostFtdcMdSpi, in declaration order.
#define QVSIM_MD_CALLBACKS(X)                                                                                     \
  X(OnFrontConnected) X(OnFrontDisconnected) X(OnHeartBeatWarning) X(OnRspUserLogin) X(OnRspUserLogout)           \
  X(OnRspError) X(OnRspSubMarketData) X(OnRspUnSubMarketData) X(OnRspSubForQuoteRsp) X(OnRspUnSubForQuoteRsp)     \
  X(OnRtnDepthMarketData) X(OnRtnForQuoteRsp)

const std::map<std::string, CallbackEntry>& traderTable() {
#define QVSIM_TRADER_ENTRY(name) {#name, entry(&CThostFtdcTraderSpi::name)},
  static const std::map<std::string, CallbackEntry> table = {QVSIM_TRADER_CALLBACKS(QVSIM_TRADER_ENTRY)};
#undef QVSIM_TRADER_ENTRY
  return table;
}

const std::map<std::string, CallbackEntry>& mdTable() {
#define QVSIM_MD_ENTRY(name) {#name, entry(&CThostFtdcMdSpi::name)},
  static const std::map<std::string, CallbackEntry> table = {QVSIM_MD_CALLBACKS(QVSIM_MD_ENTRY)};
#undef QVSIM_MD_ENTRY
  return table;
}

}  // namespace

const CallbackEntry* traderCallback(const std::string& name) {
  const auto& table = traderTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const CallbackEntry* mdCallback(const std::string& name) {
  const auto& table = mdTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace qvsim

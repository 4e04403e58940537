#include "bridge/event_text.h"

namespace qv::bridge {

const char* eventName(int32_t eventId) {
  switch (eventId) {
    case 10001: return "DayRolling,";
    case 10002: return "Ready,";
    case 11004: return "InstrumentStatus,";
    case 11005: return "TradingNotice,";
    case 11006: return "Bulletin,";
    case 11007: return "SubscribeMarketData,";
    case 11008: return "UnsubscribeMarketData,";
    case 11009: return "UpdateUserPassword,";
    case 11010: return "UpdateTradingAccountPassword,";
    case 11011: return "TransferCash,";
    case 11101: return "LoginTrader,";
    case 11102: return "LoginMd,";
    case 11103: return "Authenticate,";
    case 11104: return "ConfirmSettlementInfo,";
    case 11201: return "QrySettlementInfo,";
    case 11202: return "QryOrder,";
    case 11203: return "QryInstrumentOrderCommRate,";
    case 11204: return "QryTrade,";
    case 11205: return "QryPosition,";
    case 11206: return "QryInvestorPositionDetail,";
    case 11207: return "QryTradingAccount,";
    case 11208: return "QryBankAccountCash,";
    case 11209: return "QryTransferCashDetail,";
    case 11210: return "QryExerciseOrder,";
    case 11211: return "QryForQuote,";
    case 11212: return "QryQuote,";
    case 11213: return "QryOptionSelfClose,";
    case 11214: return "QryParkedOrder,";
    case 11215: return "QryParkedOrderAction,";
    case 11216: return "QryCombAction,";
    case 11217: return "QryInvestorPositionCombineDetail,";
    case 11301: return "QryInvestor,";
    case 11302: return "QryTradingCode,";
    case 11303: return "QryCFMMCTradingAccountKey,";
    case 11304: return "QryCFMMCTradingAccountToken,";
    case 11305: return "QryAccountRegister,";
    case 11306: return "QryContractBank,";
    case 11307: return "QryMaxOrderVolume,";
    case 11308: return "QryTransferBank,";
    case 11309: return "QryOptionInstrTradeCost,";
    case 11310: return "QryInstrumentMarginRate,";
    case 11311: return "QryInvestorProductGroupMargin,";
    case 11312: return "QryInstrumentCommissionRate,";
    case 11313: return "QryOptionInstrCommRate,";
    case 11314: return "QryMMInstrumentCommissionRate,";
    case 11315: return "QryMMOptionInstrCommRate,";
    case 11316: return "QrySettlementInfoConfirm,";
    case 11317: return "QryTradingNotice,";
    case 11318: return "QrySecAgentACIDMap,";
    case 11319: return "QrySecAgentTradingAccount,";
    case 11320: return "QrySecAgentCheckMode,";
    case 11321: return "QrySecAgentTradeInfo,";
    case 11322: return "QryBrokerTradingParams,";
    case 11323: return "QryBrokerTradingAlgos,";
    case 11401: return "QryMarketData,";
    case 11402: return "QryInstrument,";
    case 11403: return "QryCombInstrumentGuard,";
    case 11404: return "QryProduct,";
    case 11405: return "QryProductGroup,";
    case 11406: return "QryExchange,";
    case 11407: return "QryExchangeMarginRate,";
    case 11408: return "QryExchangeMarginRateAdjust,";
    case 11409: return "QryNotice,";
    case 11410: return "QryEWarrantOffset,";
    case 11411: return "QryExchangeRate,";
    case 11412: return "QryProductExchRate,";
    default: return "";
  }
}

const char* orderEventName(int32_t eventId) {
  switch (eventId) {
    case 10003: return "Traded.\n";
    case 10004: return "Canceled.\n";
    case 10005: return "UpdateCost.\n";
    case 10006: return "Accepted.\n";
    case 10007: return "InsertRejected.\n";
    case 10008: return "CancelRejected.\n";
    case 10009: return "Cached.\n";
    default: return "";
  }
}

}  // namespace qv::bridge

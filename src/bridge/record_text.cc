#include "bridge/record_text.h"

#include "records/cqv_records.h"

namespace qv::bridge {

void appendResponseRecordText(std::string& out, int32_t eventId, const void* record) {
  if (record == nullptr) return;
  switch (eventId) {
    case 11004: appendRecordText(out, static_cast<const CThostFtdcInstrumentStatusField*>(record)); break;
    case 11005: appendRecordText(out, static_cast<const CThostFtdcTradingNoticeInfoField*>(record)); break;
    case 11006: appendRecordText(out, static_cast<const CThostFtdcBulletinField*>(record)); break;
    case 11007: appendRecordText(out, static_cast<const CThostFtdcSpecificInstrumentField*>(record)); break;
    case 11008: appendRecordText(out, static_cast<const CThostFtdcSpecificInstrumentField*>(record)); break;
    case 11009: appendRecordText(out, static_cast<const CThostFtdcUserPasswordUpdateField*>(record)); break;
    case 11010: appendRecordText(out, static_cast<const CThostFtdcTradingAccountPasswordUpdateField*>(record)); break;
    case 11011: appendRecordText(out, static_cast<const CQVTransferAssetField*>(record)); break;
    case 11101: appendRecordText(out, static_cast<const CThostFtdcRspUserLoginField*>(record)); break;
    case 11102: appendRecordText(out, static_cast<const CThostFtdcRspUserLoginField*>(record)); break;
    case 11103: appendRecordText(out, static_cast<const CThostFtdcRspAuthenticateField*>(record)); break;
    case 11104: appendRecordText(out, static_cast<const CThostFtdcSettlementInfoConfirmField*>(record)); break;
    case 11201: appendRecordText(out, static_cast<const CThostFtdcSettlementInfoField*>(record)); break;
    case 11202: appendRecordText(out, static_cast<const CThostFtdcOrderField*>(record)); break;
    case 11203: appendRecordText(out, static_cast<const CThostFtdcInstrumentOrderCommRateField*>(record)); break;
    case 11204: appendRecordText(out, static_cast<const CThostFtdcTradeField*>(record)); break;
    case 11205: appendRecordText(out, static_cast<const CThostFtdcInvestorPositionField*>(record)); break;
    case 11206: appendRecordText(out, static_cast<const CThostFtdcInvestorPositionDetailField*>(record)); break;
    case 11207: appendRecordText(out, static_cast<const CThostFtdcTradingAccountField*>(record)); break;
    case 11209: appendRecordText(out, static_cast<const CThostFtdcTransferSerialField*>(record)); break;
    case 11210: appendRecordText(out, static_cast<const CThostFtdcExecOrderField*>(record)); break;
    case 11211: appendRecordText(out, static_cast<const CThostFtdcForQuoteField*>(record)); break;
    case 11212: appendRecordText(out, static_cast<const CThostFtdcQuoteField*>(record)); break;
    case 11213: appendRecordText(out, static_cast<const CThostFtdcOptionSelfCloseField*>(record)); break;
    case 11214: appendRecordText(out, static_cast<const CThostFtdcParkedOrderField*>(record)); break;
    case 11215: appendRecordText(out, static_cast<const CThostFtdcParkedOrderActionField*>(record)); break;
    case 11216: appendRecordText(out, static_cast<const CThostFtdcCombActionField*>(record)); break;
    case 11217: appendRecordText(out, static_cast<const CThostFtdcInvestorPositionCombineDetailField*>(record)); break;
    case 11301: appendRecordText(out, static_cast<const CThostFtdcInvestorField*>(record)); break;
    case 11302: appendRecordText(out, static_cast<const CThostFtdcTradingCodeField*>(record)); break;
    case 11303: appendRecordText(out, static_cast<const CThostFtdcCFMMCTradingAccountKeyField*>(record)); break;
    case 11304: appendRecordText(out, static_cast<const CThostFtdcCFMMCTradingAccountTokenField*>(record)); break;
    case 11305: appendRecordText(out, static_cast<const CThostFtdcAccountregisterField*>(record)); break;
    case 11306: appendRecordText(out, static_cast<const CThostFtdcContractBankField*>(record)); break;
    case 11308: appendRecordText(out, static_cast<const CThostFtdcTransferBankField*>(record)); break;
    case 11309: appendRecordText(out, static_cast<const CThostFtdcOptionInstrTradeCostField*>(record)); break;
    case 11310: appendRecordText(out, static_cast<const CThostFtdcInstrumentMarginRateField*>(record)); break;
    case 11311: appendRecordText(out, static_cast<const CThostFtdcInvestorProductGroupMarginField*>(record)); break;
    case 11312: appendRecordText(out, static_cast<const CThostFtdcInstrumentCommissionRateField*>(record)); break;
    case 11313: appendRecordText(out, static_cast<const CThostFtdcOptionInstrCommRateField*>(record)); break;
    case 11314: appendRecordText(out, static_cast<const CThostFtdcMMInstrumentCommissionRateField*>(record)); break;
    case 11315: appendRecordText(out, static_cast<const CThostFtdcMMOptionInstrCommRateField*>(record)); break;
    case 11316: appendRecordText(out, static_cast<const CThostFtdcSettlementInfoConfirmField*>(record)); break;
    case 11317: appendRecordText(out, static_cast<const CThostFtdcTradingNoticeField*>(record)); break;
    case 11318: appendRecordText(out, static_cast<const CThostFtdcSecAgentACIDMapField*>(record)); break;
    case 11319: appendRecordText(out, static_cast<const CThostFtdcTradingAccountField*>(record)); break;
    case 11320: appendRecordText(out, static_cast<const CThostFtdcSecAgentCheckModeField*>(record)); break;
    case 11321: appendRecordText(out, static_cast<const CThostFtdcSecAgentTradeInfoField*>(record)); break;
    case 11322: appendRecordText(out, static_cast<const CThostFtdcBrokerTradingParamsField*>(record)); break;
    case 11323: appendRecordText(out, static_cast<const CThostFtdcBrokerTradingAlgosField*>(record)); break;
    case 11401: appendRecordText(out, static_cast<const CThostFtdcDepthMarketDataField*>(record)); break;
    case 11402: appendRecordText(out, static_cast<const CThostFtdcInstrumentField*>(record)); break;
    case 11403: appendRecordText(out, static_cast<const CThostFtdcCombInstrumentGuardField*>(record)); break;
    case 11404: appendRecordText(out, static_cast<const CThostFtdcProductField*>(record)); break;
    case 11405: appendRecordText(out, static_cast<const CThostFtdcProductGroupField*>(record)); break;
    case 11406: appendRecordText(out, static_cast<const CThostFtdcExchangeField*>(record)); break;
    case 11407: appendRecordText(out, static_cast<const CThostFtdcExchangeMarginRateField*>(record)); break;
    case 11408: appendRecordText(out, static_cast<const CThostFtdcExchangeMarginRateAdjustField*>(record)); break;
    case 11409: appendRecordText(out, static_cast<const CThostFtdcNoticeField*>(record)); break;
    case 11410: appendRecordText(out, static_cast<const CThostFtdcEWarrantOffsetField*>(record)); break;
    case 11411: appendRecordText(out, static_cast<const CThostFtdcExchangeRateField*>(record)); break;
    case 11412: appendRecordText(out, static_cast<const CThostFtdcProductExchRateField*>(record)); break;
    default: break;
  }
}

}  // namespace qv::bridge

// The trader library's order and trade reports, handed to the order book of OrderEngine. Runs on
// the library's callback thread; a call without a record is ignored.
#include "ctp/ctp_trader_client.h"
#include "ctp/rsp_error.h"

namespace qv {

void CtpTraderClient::OnRtnOrder(CThostFtdcOrderField* record) {
  if (record != nullptr) onOrderReport(*record);
}

void CtpTraderClient::OnRtnTrade(CThostFtdcTradeField* record) {
  if (record != nullptr) onTradeReport(*record);
}

void CtpTraderClient::OnRspOrderInsert(CThostFtdcInputOrderField* record,
                                       CThostFtdcRspInfoField* info, int, bool) {
  RspError error(info);
  if (record != nullptr && error.failed()) onInsertRefused(*record, error.id, error.message);
}

void CtpTraderClient::OnErrRtnOrderInsert(CThostFtdcInputOrderField* record,
                                          CThostFtdcRspInfoField* info) {
  RspError error(info);
  if (record != nullptr) onInsertRefused(*record, error.id, error.message);
}

void CtpTraderClient::OnRspOrderAction(CThostFtdcInputOrderActionField* record,
                                       CThostFtdcRspInfoField* info, int, bool) {
  RspError error(info);
  if (record != nullptr && error.failed()) onCancelRefused(record->OrderRef, error.id, error.message);
}

void CtpTraderClient::OnErrRtnOrderAction(CThostFtdcOrderActionField* record,
                                          CThostFtdcRspInfoField* info) {
  RspError error(info);
  if (record != nullptr) onCancelRefused(record->OrderRef, error.id, error.message);
}

}  // namespace qv

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

// A refused cancellation may come as the response and as the error return; both name the request:
// the response by its request id, the error return by the RequestID (or, from fronts that leave it
// empty, the OrderActionRef) that cancelOrder stamps into the request.
void CtpTraderClient::OnRspOrderAction(CThostFtdcInputOrderActionField* record,
                                       CThostFtdcRspInfoField* info, int requestId, bool) {
  RspError error(info);
  if (record != nullptr && error.failed()) {
    onCancelRefused(record->OrderRef, requestId, error.id, error.message);
  }
}

void CtpTraderClient::OnErrRtnOrderAction(CThostFtdcOrderActionField* record,
                                          CThostFtdcRspInfoField* info) {
  RspError error(info);
  if (record == nullptr) return;
  const int32_t actionId = record->RequestID != 0 ? record->RequestID : record->OrderActionRef;
  onCancelRefused(record->OrderRef, actionId, error.id, error.message);
}

}  // namespace qv

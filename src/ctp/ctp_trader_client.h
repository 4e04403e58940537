// CtpTraderClient: the trading client on the CTP trader library. One object is both the
// TraderClient (through OrderEngine) the host's handle points to and the CThostFtdcTraderSpi the library calls back.
//
// Session: construction creates the library object and starts it; every OnFrontConnected sets the
// state to '3' and queues the start-up chain (authenticate, log in, confirm settlement, load
// instruments, orders, trades, positions and funds, log the market-data client in) as session
// steps, ahead of the host's tasks, which wait for the session to be ready; the final
// error-free account response makes the client ready ('4', event 10002). A lost front sets '2',
// drops the queued work and raises 11002; the library reconnects by itself and the chain runs again.
//
// Threads: every CThostFtdcTraderSpi callback runs on the library's thread, one at a time; the
// worker thread sends queued requests through runQueryCommand; host threads call the exports.
// Front id and session id are written only on the callback thread. Every raise into the host
// takes the interpreter lock itself.
#ifndef QV_CTP_CTP_TRADER_CLIENT_H
#define QV_CTP_CTP_TRADER_CLIENT_H

#include <cstdint>
#include <unordered_map>

#include "ThostFtdcTraderApi.h"
#include "bridge/host_object.h"
#include "records/cqv_records.h"
#include "tasks/query_commands.h"
#include "trading/order_engine.h"

namespace qv {

class CtpTraderClient final : public OrderEngine, public CThostFtdcTraderSpi {
 public:
  // Copies and normalises `login`, builds the command table and starts the trader library. A
  // library that cannot be created shows as event 11001 and a state that stays '1'.
  CtpTraderClient(uint16_t clientIndex, const CQVLoginField& login, HostObject orderCallable,
                  HostObject responseCallable, HostObject loopCallable);
  // Detaches from the library and releases it, so no callback can reach a destroyed client.
  ~CtpTraderClient() override;

  // The flow path handed to the library: BasePath/UserID/TDFlow/ under the piece rule.
  static std::string flowPath(const CQVLoginField& login);

  // TraderClient (order entry and the order book come from OrderEngine)
  int64_t runQueryCommand(Task& task) override;
  int32_t cancelOrder(const char* exchangeId, const char* instrumentId, const char* orderSysId,
                      int32_t orderId, int32_t frontId, int32_t sessionId) override;
  TransferHolder* transferCash(char direction, double amount, const char* accountPassword,
                               const char* bankId, const char* bankPassword) override;
  int32_t updatePassword(char kind, const char* oldPassword, const char* newPassword) override;

  // CThostFtdcTraderSpi: the session.
  void OnFrontConnected() override;
  void OnFrontDisconnected(int reason) override;
  void OnRspAuthenticate(CThostFtdcRspAuthenticateField* record, CThostFtdcRspInfoField* info,
                         int requestId, bool isLast) override;
  void OnRspUserLogin(CThostFtdcRspUserLoginField* record, CThostFtdcRspInfoField* info,
                      int requestId, bool isLast) override;
  void OnRspUserLogout(CThostFtdcUserLogoutField* record, CThostFtdcRspInfoField* info,
                       int requestId, bool isLast) override;
  void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* record,
                                  CThostFtdcRspInfoField* info, int requestId,
                                  bool isLast) override;

  // CThostFtdcTraderSpi: the start-up loads.
  void OnRspQryInstrument(CThostFtdcInstrumentField* record, CThostFtdcRspInfoField* info,
                          int requestId, bool isLast) override;
  void OnRspQryOrder(CThostFtdcOrderField* record, CThostFtdcRspInfoField* info, int requestId,
                     bool isLast) override;
  void OnRspQryTrade(CThostFtdcTradeField* record, CThostFtdcRspInfoField* info, int requestId,
                     bool isLast) override;
  void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField* record,
                                CThostFtdcRspInfoField* info, int requestId,
                                bool isLast) override;
  void OnRspQryTradingAccount(CThostFtdcTradingAccountField* record, CThostFtdcRspInfoField* info,
                              int requestId, bool isLast) override;

  // CThostFtdcTraderSpi: the margin-monitoring token and the bank balance, which answer by a
  // return rather than by the response.
  void OnRspQueryCFMMCTradingAccountToken(CThostFtdcQueryCFMMCTradingAccountTokenField* record,
                                          CThostFtdcRspInfoField* info, int requestId,
                                          bool isLast) override;
  void OnRtnCFMMCTradingAccountToken(CThostFtdcCFMMCTradingAccountTokenField* record) override;
  void OnRspQueryBankAccountMoneyByFuture(CThostFtdcReqQueryAccountField* record,
                                          CThostFtdcRspInfoField* info, int requestId,
                                          bool isLast) override;
  void OnRtnQueryBankBalanceByFuture(CThostFtdcNotifyQueryAccountField* record) override;
  void OnErrRtnQueryBankBalanceByFuture(CThostFtdcReqQueryAccountField* record,
                                        CThostFtdcRspInfoField* info) override;

  // CThostFtdcTraderSpi: order and trade reports, fed to the order book (ctp_trader_reports.cc).
  // Insert and action responses matter only when they carry an error.
  void OnRtnOrder(CThostFtdcOrderField* record) override;
  void OnRtnTrade(CThostFtdcTradeField* record) override;
  void OnRspOrderInsert(CThostFtdcInputOrderField* record, CThostFtdcRspInfoField* info,
                        int requestId, bool isLast) override;
  void OnErrRtnOrderInsert(CThostFtdcInputOrderField* record,
                           CThostFtdcRspInfoField* info) override;
  void OnRspOrderAction(CThostFtdcInputOrderActionField* record, CThostFtdcRspInfoField* info,
                        int requestId, bool isLast) override;
  void OnErrRtnOrderAction(CThostFtdcOrderActionField* record,
                           CThostFtdcRspInfoField* info) override;

  // CThostFtdcTraderSpi: bank transfers (ctp_trader_transfers.cc). Returns of transfers this
  // client requested update their record and raise 11011; transfers made at the bank and manual
  // reversals move usable cash only.
  void OnRtnFromBankToFutureByBank(CThostFtdcRspTransferField* record) override;
  void OnRtnFromFutureToBankByBank(CThostFtdcRspTransferField* record) override;
  void OnRtnRepealFromBankToFutureByBank(CThostFtdcRspRepealField* record) override;
  void OnRtnRepealFromFutureToBankByBank(CThostFtdcRspRepealField* record) override;
  void OnRtnFromBankToFutureByFuture(CThostFtdcRspTransferField* record) override;
  void OnRtnFromFutureToBankByFuture(CThostFtdcRspTransferField* record) override;
  void OnRtnRepealFromBankToFutureByFutureManual(CThostFtdcRspRepealField* record) override;
  void OnRtnRepealFromFutureToBankByFutureManual(CThostFtdcRspRepealField* record) override;
  void OnErrRtnBankToFutureByFuture(CThostFtdcReqTransferField* record,
                                    CThostFtdcRspInfoField* info) override;
  void OnErrRtnFutureToBankByFuture(CThostFtdcReqTransferField* record,
                                    CThostFtdcRspInfoField* info) override;
  void OnRtnRepealFromBankToFutureByFuture(CThostFtdcRspRepealField* record) override;
  void OnRtnRepealFromFutureToBankByFuture(CThostFtdcRspRepealField* record) override;
  void OnRspFromBankToFutureByFuture(CThostFtdcReqTransferField* record,
                                     CThostFtdcRspInfoField* info, int requestId,
                                     bool isLast) override;
  void OnRspFromFutureToBankByFuture(CThostFtdcReqTransferField* record,
                                     CThostFtdcRspInfoField* info, int requestId,
                                     bool isLast) override;

  // The transfer made by transferCash under `transferId`, or null.
  TransferHolder* findTransfer(int32_t transferId) const;

  // CThostFtdcTraderSpi: callbacks that only hand their record to the host.
#include "ctp/trader_responses.inc"

  CThostFtdcTraderApi* api() const { return api_; }

 protected:
  // OrderEngine: builds the CTP order request from the order's record and sends it.
  int32_t sendOrderRequest(OrderHolder& order) override;

 private:
  // The response pattern: raise the event with the record and the response info (0 and an empty
  // message without one); on the last part, complete the task of the same id and request id when
  // `completes`.
  void respond(int32_t eventId, const void* record, const CThostFtdcRspInfoField* info,
               int32_t requestId, bool isLast, bool completes);
  // The notice pattern: a non-null record is raised with is-last true; no task is involved.
  void notice(int32_t eventId, const void* record);
  // Task 11102: the market-data client's login (its request id in `requestId`), or -1002100
  // without one.
  int32_t marketDataLogin(int32_t& requestId);

  // The login record's AccountID: filled by the first account answer on the callback thread when
  // the host gave none, read by transfers and password updates on host threads; both under
  // accountFlag_. (The worker's queued requests read it only after the account task completed.)
  void noteAccountId(const char* reported);
  void copyAccountId(char (&out)[sizeof(CQVLoginField::AccountID)]) const;

  // A result of a transfer this client requested (found by request id): its status, the signed
  // cash it moves, the error and text, the futures-side serial. Unknown ids still move the cash
  // when error-free.
  void transferResult(int32_t requestId, char status, double amount, int32_t errorId,
                      const char* text, int32_t serial);
  // An error answer to a transfer request: the record takes the error; status unchanged.
  void transferError(int32_t requestId, const CThostFtdcRspInfoField* info, bool isLast);

  CThostFtdcTraderApi* api_;
  QueryCommands commands_;
  mutable SpinFlag accountFlag_;
  // The transfer table: every holder transferCash made, by TransferID, kept for the client's
  // life. Host threads insert, the callback thread searches; both under transfersFlag_.
  mutable SpinFlag transfersFlag_;
  std::unordered_map<int32_t, TransferHolder*> transfers_;
};

}  // namespace qv

#endif  // QV_CTP_CTP_TRADER_CLIENT_H

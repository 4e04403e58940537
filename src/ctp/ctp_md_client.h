// CtpMdClient: the market-data client on the CTP market-data library. One object is both the
// MdClient the trading client holds and the CThostFtdcMdSpi the library calls back.
//
// It logs in when the trading client's queue runs task 11102 (the start-up chain) and by itself on
// every connection that follows a lost one, replays the subscription book after every successful
// login, and folds every depth snapshot into the instrument's SnapshotEntry before
// handing the record to the host as event 10010. A login the session completes by itself ends a
// step of the chain still waiting for its own (lost) answer; a step that finds the session logged
// in completes at once without sending.
//
// Threads: the callbacks run on the library's thread, one at a time; it alone writes snapshot
// entries and inserts into the snapshot map. login() runs on the trading client's worker thread
// (with the task queue's lock held, so it takes loginFlag_ after that lock and raises nothing); the
// session's own login is sent from the callback thread after a reconnect;
// the subscription sends run on host threads (and on the callback thread for the replay).
#ifndef QV_CTP_CTP_MD_CLIENT_H
#define QV_CTP_CTP_MD_CLIENT_H

#include <string>

#include "ThostFtdcMdApi.h"
#include "base/spin_lock.h"
#include "bridge/host_object.h"
#include "records/cqv_records.h"
#include "ctp/snapshot_fold.h"
#include "trading/md_client.h"

namespace qv {

class CtpMdClient final : public MdClient, public CThostFtdcMdSpi {
 public:
  // REQUIRES: `login` outlives this client (it is the trading client's copy). A library that
  // cannot be created shows as event 11001 and a client that stays in state '1'.
  CtpMdClient(const CQVLoginField* login, HostObject marketDataCallable,
              HostObject responseCallable);
  // Detaches from the library and releases it, so no callback can reach a destroyed client.
  ~CtpMdClient() override;

  // The flow path handed to the library: BasePath/UserID/MDFlow/ under the piece rule.
  static std::string flowPath(const CQVLoginField& login);

  // MdClient: sends only once logged in ('4'); before that the book keeps the request and the
  // next login's replay sends it.
  int32_t sendSubscribe(const char* bookKey, char** codes, int32_t count, char type) override;
  int32_t sendUnsubscribe(const char* bookKey, char** codes, int32_t count, char type) override;
  int32_t login(int32_t& requestId) override;

  // CThostFtdcMdSpi
  void OnFrontConnected() override;
  void OnFrontDisconnected(int reason) override;
  void OnRspUserLogin(CThostFtdcRspUserLoginField* record, CThostFtdcRspInfoField* info,
                      int requestId, bool isLast) override;
  void OnRspSubMarketData(CThostFtdcSpecificInstrumentField* record, CThostFtdcRspInfoField* info,
                          int requestId, bool isLast) override;
  void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField* record,
                            CThostFtdcRspInfoField* info, int requestId, bool isLast) override;
  void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField* depth) override;

 private:
  // The login request built from the login record.
  CThostFtdcReqUserLoginField loginRequest() const;

  // Raises a subscription response and completes its task on the last part.
  void respond(int32_t eventId, const void* record, const CThostFtdcRspInfoField* info,
               int32_t requestId, bool isLast);

  CThostFtdcMdApi* api_;
  SnapshotFolder folder_{snapshots()};  // used only on the library's callback thread
  // Who logs in, decided under one flag with the connection's state changes: the trading session's
  // step when the front is connected and the session is not logged in, else the session itself
  // when it connects; never both, and never while logged in. Never held while calling out (the
  // library, the task queue, the host).
  SpinFlag loginFlag_;
  bool loginWanted_ QV_GUARDED_BY(loginFlag_) = false;    // the step came while the front was down
  bool loginInFlight_ QV_GUARDED_BY(loginFlag_) = false;  // sent, not yet answered
  // Request id of the login in flight (0 none): its answer is the current one.
  int32_t loginRequestId_ QV_GUARDED_BY(loginFlag_) = 0;
  // Request id of the step's login whose answer the queue still waits for (0 none). A drop loses
  // that answer; the answer to the session's own login on reconnection then ends the step under
  // this id, as the lost answer would have.
  int32_t stepRequestId_ QV_GUARDED_BY(loginFlag_) = 0;
};

}  // namespace qv

#endif  // QV_CTP_CTP_MD_CLIENT_H

// Test callback objects for the stand-in libraries: every callback is recorded, with its thread,
// a copy of its record and response info, so a test can wait for what arrived and examine it.
// Callbacks arrive on the library's thread; tests read from their own thread under the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"

namespace qvsim_test {

struct Event {
  std::string name;
  std::thread::id thread;
  std::vector<unsigned char> record;  // empty for a null record
  bool hasInfo = false;
  int errorId = 0;
  std::string errorMsg;
  int requestId = 0;
  bool isLast = false;
  int number = 0;

  template <class T>
  T as() const {
    T out{};
    if (record.size() == sizeof(T)) std::memcpy(&out, record.data(), sizeof(T));
    return out;
  }
};

class Recorder {
 public:
  template <class T>
  void add(const char* name, const T* record, const CThostFtdcRspInfoField* info = nullptr, int requestId = 0,
           bool isLast = true, int number = 0) {
    Event e;
    e.name = name;
    e.thread = std::this_thread::get_id();
    if (record != nullptr) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(record);
      e.record.assign(bytes, bytes + sizeof(T));
    }
    if (info != nullptr) {
      e.hasInfo = true;
      e.errorId = info->ErrorID;
      e.errorMsg = std::string(info->ErrorMsg, strnlen(info->ErrorMsg, sizeof(info->ErrorMsg)));
    }
    e.requestId = requestId;
    e.isLast = isLast;
    e.number = number;
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(e));
    cv_.notify_all();
  }

  // Waits (up to 10 s, a guard against hangs, not a timing check) until pred holds.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return pred(events_); });
  }

  // Waits for the count-th event (1-based) named `name`; returns a copy, or an empty event.
  Event waitFor(const std::string& name, int count = 1) {
    Event found;
    waitUntil([&](const std::vector<Event>& events) {
      int seen = 0;
      for (const Event& e : events) {
        if (e.name == name && ++seen == count) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  std::vector<Event> named(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const Event& e : events_) {
      if (e.name == name) out.push_back(e);
    }
    return out;
  }

  std::vector<Event> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

#define QVSIM_RSP(Name, Rec)                                                                  \
  void Name(Rec* r, CThostFtdcRspInfoField* info, int id, bool last) override {               \
    recorder.add(#Name, r, info, id, last);                                                   \
  }
#define QVSIM_RTN(Name, Rec) \
  void Name(Rec* r) override { recorder.add(#Name, r); }
#define QVSIM_ERR_RTN(Name, Rec) \
  void Name(Rec* r, CThostFtdcRspInfoField* info) override { recorder.add(#Name, r, info); }

class RecordingTraderSpi final : public CThostFtdcTraderSpi {
 public:
  virtual ~RecordingTraderSpi() = default;
  Recorder recorder;

  void OnFrontConnected() override { recorder.add<int>("OnFrontConnected", nullptr); }
  void OnFrontDisconnected(int reason) override {
    recorder.add<int>("OnFrontDisconnected", nullptr, nullptr, 0, true, reason);
  }
  void OnHeartBeatWarning(int lapse) override { recorder.add<int>("OnHeartBeatWarning", nullptr, nullptr, 0, true, lapse); }
  QVSIM_RSP(OnRspAuthenticate, CThostFtdcRspAuthenticateField)
  QVSIM_RSP(OnRspUserLogin, CThostFtdcRspUserLoginField)
  QVSIM_RSP(OnRspUserLogout, CThostFtdcUserLogoutField)
  QVSIM_RSP(OnRspUserPasswordUpdate, CThostFtdcUserPasswordUpdateField)
  QVSIM_RSP(OnRspSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField)
  QVSIM_RSP(OnRspOrderInsert, CThostFtdcInputOrderField)
  QVSIM_RSP(OnRspParkedOrderInsert, CThostFtdcParkedOrderField)
  QVSIM_RSP(OnRspOrderAction, CThostFtdcInputOrderActionField)
  QVSIM_RSP(OnRspQueryMaxOrderVolume, CThostFtdcQueryMaxOrderVolumeField)
  QVSIM_RSP(OnRspQryInstrument, CThostFtdcInstrumentField)
  QVSIM_RSP(OnRspQryOrder, CThostFtdcOrderField)
  QVSIM_RSP(OnRspQryTrade, CThostFtdcTradeField)
  QVSIM_RSP(OnRspQryInvestorPosition, CThostFtdcInvestorPositionField)
  QVSIM_RSP(OnRspQryTradingAccount, CThostFtdcTradingAccountField)
  QVSIM_RSP(OnRspQryExchangeRate, CThostFtdcExchangeRateField)
  QVSIM_RSP(OnRspQryNotice, CThostFtdcNoticeField)
  QVSIM_RSP(OnRspQryDepthMarketData, CThostFtdcDepthMarketDataField)
  QVSIM_RSP(OnRspFromBankToFutureByFuture, CThostFtdcReqTransferField)
  QVSIM_RSP(OnRspQueryBankAccountMoneyByFuture, CThostFtdcReqQueryAccountField)
  QVSIM_RTN(OnRtnOrder, CThostFtdcOrderField)
  QVSIM_RTN(OnRtnTrade, CThostFtdcTradeField)
  QVSIM_RTN(OnRtnInstrumentStatus, CThostFtdcInstrumentStatusField)
  QVSIM_RTN(OnRtnFromBankToFutureByFuture, CThostFtdcRspTransferField)
  QVSIM_RTN(OnRtnFromFutureToBankByFuture, CThostFtdcRspTransferField)
  QVSIM_RTN(OnRtnQueryBankBalanceByFuture, CThostFtdcNotifyQueryAccountField)
  QVSIM_ERR_RTN(OnErrRtnOrderInsert, CThostFtdcInputOrderField)
  QVSIM_ERR_RTN(OnErrRtnOrderAction, CThostFtdcOrderActionField)
  QVSIM_ERR_RTN(OnErrRtnBankToFutureByFuture, CThostFtdcReqTransferField)
};

class RecordingMdSpi final : public CThostFtdcMdSpi {
 public:
  virtual ~RecordingMdSpi() = default;
  Recorder recorder;

  void OnFrontConnected() override { recorder.add<int>("OnFrontConnected", nullptr); }
  void OnFrontDisconnected(int reason) override {
    recorder.add<int>("OnFrontDisconnected", nullptr, nullptr, 0, true, reason);
  }
  QVSIM_RSP(OnRspUserLogin, CThostFtdcRspUserLoginField)
  QVSIM_RSP(OnRspSubMarketData, CThostFtdcSpecificInstrumentField)
  QVSIM_RSP(OnRspUnSubMarketData, CThostFtdcSpecificInstrumentField)
  void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField* depth) override {
    recorder.add("OnRtnDepthMarketData", depth);
    if (onDepth) onDepth(*depth);
  }
  // A strategy's reaction, run on the library thread after the snapshot was recorded.
  std::function<void(const CThostFtdcDepthMarketDataField&)> onDepth;
};

#undef QVSIM_RSP
#undef QVSIM_RTN
#undef QVSIM_ERR_RTN

}  // namespace qvsim_test

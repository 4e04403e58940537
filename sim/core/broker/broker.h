// The simulated broker: the requests of its trader sessions for one trading day, built from a
// scenario. It checks and answers logins, orders, cancels, transfers and queries with the records
// a CTP front would send back (the trader sessions turn those into callbacks), sends the orders it
// accepts to the exchange (core/exchange/exchange.h), books what the exchange matches in its
// investors' accounts (core/broker/accounts.h) and keeps the day's order indexes, trades and
// transfers, and the investors' databases (core/broker/persistence.cc).
// Not thread-safe by itself: every call is made under the world lock (core/world/world.h).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/broker/accounts.h"
#include "core/exchange/exchange.h"
#include "core/exchange/exchange_clock.h"
#include "core/exchange/instrument.h"
#include "core/exchange/match.h"
#include "core/exchange/report.h"
#include "core/persistence/state_store.h"
#include "core/scenario/scenario.h"

namespace qvsim {

// What the broker knows of one trader connection. Owned by its trader session, read and written
// only under the world lock. Reset when the front drops.
struct BrokerSession {
  int frontId = 0;
  int sessionId = 0;
  bool authenticated = false;
  std::string authenticatedUser;
  bool loggedIn = false;
  std::string userId;
  std::string investorId;
  long long maxOrderRef = 0;
};

// The outcome of a request: an error id (0 accepted), the order reports to broadcast to every
// session of the order's investor, and what matching the order caused at once (its own fills and
// cancellation, and its counterparties' fills).
struct OrderOutcome {
  int errorId = 0;
  std::string exchangeRejection;  // UTF-8 reason when the exchange refused the order
  std::vector<CThostFtdcOrderField> reports;
  std::vector<Report> followUps;
  CThostFtdcOrderActionField action{};
};


class Broker {
 public:
  void load(const Scenario& scenario);
  const Scenario& scenario() const { return scenario_; }
  const std::string& tradingDay() const { return scenario_.tradingDay; }
  // A replayed market's trading day (YYYYMMDD) from now on.
  void setTradingDay(const std::string& day) { scenario_.tradingDay = day; }
  const InstrumentState* instrument(const std::string& instrumentId) const { return exchange_.instrument(instrumentId); }
  // Takes a replayed market's pre-settlement price and price limits for an instrument (values that
  // are not positive finite prices are ignored).
  void setPriceBand(const std::string& instrumentId, double preSettlement, double upper, double lower) {
    exchange_.setPriceBand(instrumentId, preSettlement, upper, lower);
  }
  const std::map<std::string, InstrumentState>& instruments() const { return exchange_.instruments(); }
  const Exchange& exchange() const { return exchange_; }
  int nextSessionId() { return ++lastSessionId_; }

  int authenticate(BrokerSession& session, const CThostFtdcReqAuthenticateField& req,
                   CThostFtdcRspAuthenticateField& out);
  // storePath: the database of the investor's trading day (core/broker/persistence.cc), empty when the
  // day is not kept. A database of this day restores the investor's records before the answer
  // (its MaxOrderRef counts the restored orders); one of an earlier day is settled first.
  int login(BrokerSession& session, const CThostFtdcReqUserLoginField& req, CThostFtdcRspUserLoginField& out,
            const std::string& storePath = "");
  int logout(BrokerSession& session, const CThostFtdcUserLogoutField& req);
  int confirmSettlement(const BrokerSession& session, CThostFtdcSettlementInfoConfirmField& out);
  int updateUserPassword(const BrokerSession& session, const CThostFtdcUserPasswordUpdateField& req);
  int updateAccountPassword(const BrokerSession& session, const CThostFtdcTradingAccountPasswordUpdateField& req);

  // REQUIRES: input.OrderRef may be empty, in which case the next reference of the session is
  // written into it.
  OrderOutcome insertOrder(BrokerSession& session, CThostFtdcInputOrderField& input, int requestId);
  OrderOutcome cancelOrder(const BrokerSession& session, const CThostFtdcInputOrderActionField& input, int requestId);

  // Matches the working orders of the snapshot's instrument against it (core/exchange/matching.cc) and
  // marks positions to its last price. Returns the reports the fills and cancellations made.
  std::vector<Report> onSnapshot(const CThostFtdcDepthMarketDataField& depth);

  // Ends the trading day (core/broker/settlement.cc): working orders expire (their reports are returned),
  // every position becomes yesterday's at the day's settlement price (the last price when the
  // market gave none), whose profit the pre-balance takes with the day's close profit, fees and
  // transfers; the day's orders, trades and order references are dropped, the settlement must be
  // confirmed again and `nextTradingDay` begins, its price band centred on the settlement price.
  std::vector<Report> settleDay(const std::string& nextTradingDay);

  // Writes the records the reports changed (and the accounts and positions of their investors) to
  // the investors' databases; nothing for investors without one.
  void persist(const std::vector<Report>& reports);
  void persist(const std::vector<CThostFtdcOrderField>& orders, const std::vector<Report>& followUps);
  // Writes an investor's account and positions (after transfers and confirmations).
  void persistAccount(const std::string& investorId);

  // The largest volume an order could have now: funds at the upper (buy) or lower (sell) limit
  // price for opening, the free closable position for closing. Writes MaxVolume into q.
  int maxOrderVolume(const BrokerSession& session, CThostFtdcQueryMaxOrderVolumeField& q);

  // Bank transfers; toFuture is bank to futures account. On success fills out and returns 0.
  int transfer(const BrokerSession& session, const CThostFtdcReqTransferField& req, bool toFuture,
               CThostFtdcRspTransferField& out);
  int bankBalance(const BrokerSession& session, const CThostFtdcReqQueryAccountField& req,
                  CThostFtdcNotifyQueryAccountField& out);

  // Queries: every matching record, in a stable order. An empty filter field matches everything.
  std::vector<CThostFtdcOrderField> orders(const BrokerSession& session, const CThostFtdcQryOrderField& q) const;
  std::vector<CThostFtdcTradeField> trades(const BrokerSession& session, const CThostFtdcQryTradeField& q) const;
  std::vector<CThostFtdcInvestorPositionField> positions(const BrokerSession& session,
                                                        const CThostFtdcQryInvestorPositionField& q) const;
  CThostFtdcTradingAccountField account(const BrokerSession& session) const;
  std::vector<CThostFtdcInstrumentField> instrumentRecords(const CThostFtdcQryInstrumentField& q) const;
  std::vector<CThostFtdcSettlementInfoField> settlementInfo(const BrokerSession& session) const;
  std::vector<CThostFtdcSettlementInfoConfirmField> settlementConfirms(const BrokerSession& session) const;
  std::vector<CThostFtdcInvestorField> investors(const BrokerSession& session) const;
  std::vector<CThostFtdcTradingCodeField> tradingCodes(const BrokerSession& session,
                                                     const CThostFtdcQryTradingCodeField& q) const;
  std::vector<CThostFtdcInstrumentMarginRateField> marginRates(const BrokerSession& session,
                                                             const CThostFtdcQryInstrumentMarginRateField& q) const;
  std::vector<CThostFtdcInstrumentCommissionRateField> commissionRates(
      const BrokerSession& session, const CThostFtdcQryInstrumentCommissionRateField& q) const;
  std::vector<CThostFtdcExchangeField> exchanges(const CThostFtdcQryExchangeField& q) const;
  std::vector<CThostFtdcProductField> products(const CThostFtdcQryProductField& q) const;
  std::vector<CThostFtdcTransferSerialField> transferSerials(const BrokerSession& session) const;
  std::vector<CThostFtdcContractBankField> contractBanks() const;
  std::vector<CThostFtdcAccountregisterField> accountRegisters(const BrokerSession& session) const;

 private:
  const Account* accountOf(const BrokerSession& session) const;
  Account* accountOf(const BrokerSession& session);
  Account& openAccount(const UserDef& user);
  CThostFtdcOrderField makeOrder(const BrokerSession& session, const CThostFtdcInputOrderField& input,
                                 const InstrumentState& instrument, int requestId);
  // Adds an order to the exchange's day with what it holds, and to the indexes; returns its number.
  std::size_t addOrder(const WorkingOrder& order, const OrderHold& hold);
  // Adds order `number` to the indexes by reference, exchange id and sequence and, while it works,
  // what it holds to its investor's totals.
  void indexOrder(std::size_t number);
  // Rebuilds every index, book and total from the exchange's orders (after orders were dropped or
  // restored).
  void reindexOrders();
  // Opens the investor's database and restores from it, or starts it with the present records.
  void attachStore(BrokerSession& session, Account& account, const std::string& path);
  void restore(BrokerSession& session, Account& account, StoredDay& day);
  // Closes a stored earlier day: today's lots become yesterday's at the day's last price, whose
  // profit the funds take; orders and trades stay behind.
  void settle(StoredDay& day) const;
  void save(const std::string& investorId, const std::vector<long long>* orderSeqs,
            const std::vector<CThostFtdcTradeField>* trades);
  // Fills `volume` of working order `number` at `price`: the accounts book it, the exchange
  // records it; appends the order report and the trade to out.
  void fill(std::size_t number, double price, int volume, std::vector<Report>& out);
  // Ends working order `number` as canceled with `message` (UTF-8), its cancel time `time` (none
  // when empty), and what it held.
  void end(std::size_t number, const char* message, const std::string& time);
  // Books the matches in the order they were found, appending their reports to out.
  void book(const std::vector<Match>& matches, std::vector<Report>& out);

  Scenario scenario_;
  Exchange exchange_;
  Accounts accounts_{exchange_};
  std::vector<CThostFtdcTradeField> trades_;
  std::vector<CThostFtdcTransferSerialField> transfers_;
  // Indexes over the exchange's orders (whose numbers never change once added, except when a
  // restore rebuilds them), each in time order: by (front, session, trimmed reference), by trimmed
  // OrderSysID and by BrokerOrderSeq.
  std::map<std::tuple<int, int, std::string>, std::vector<std::size_t>> byRef_;
  std::unordered_map<std::string, std::vector<std::size_t>> bySysId_;
  std::unordered_map<int, std::vector<std::size_t>> bySeq_;
  std::map<std::string, std::unique_ptr<StateStore>> stores_;  // by investor id
  int lastSessionId_ = 100000;  // far from the small session ids a scenario gives earlier connections
  int lastOrderLocalId_ = 0;
  int lastBrokerOrderSeq_ = 0;
  int lastFutureSerial_ = 0;
};

}  // namespace qvsim

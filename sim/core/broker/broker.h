// The simulated broker: accounts, instruments, positions, orders and trades of one trading day,
// built from a scenario. It validates and records requests and returns the records a CTP front
// would send back; the trader sessions turn those into callbacks.
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
#include "core/exchange/exchange_clock.h"
#include "core/exchange/market_view.h"
#include "core/exchange/match.h"
#include "core/exchange/price_book.h"
#include "core/exchange/report.h"
#include "core/persistence/state_store.h"
#include "core/scenario/scenario.h"
#include "core/text/text_map.h"

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

struct InstrumentState {
  InstrumentDef def;
  double upperLimit = 0.0;
  double lowerLimit = 0.0;
  CThostFtdcInstrumentField field{};
  // Sets the day's pre-settlement price (rounded to the tick grid) and the price band the
  // instrument's limit ratio makes around it.
  void centreBand(double preSettlement);
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
  const InstrumentState* instrument(const std::string& instrumentId) const;
  // Takes a replayed market's pre-settlement price and price limits for an instrument (values that
  // are not positive finite prices are ignored).
  void setPriceBand(const std::string& instrumentId, double preSettlement, double upper, double lower);
  const std::map<std::string, InstrumentState>& instruments() const { return instruments_; }
  int nextSessionId() { return ++lastSessionId_; }

  int authenticate(BrokerSession& session, const CThostFtdcReqAuthenticateField& req,
                   CThostFtdcRspAuthenticateField& out);
  // storePath: the database of the investor's trading day (core/persistence/persistence.cc), empty when the
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
  struct Account {
    double closeProfit = 0.0;
    double commission = 0.0;
    std::string userId;
    std::string investorId;
    std::string password;
    std::string accountPassword;
    std::string bankPassword;
    double preBalance = 0.0;
    double deposit = 0.0;
    double withdraw = 0.0;
    double bankBalance = 0.0;
    bool confirmed = false;
    std::string confirmDate;
    std::string confirmTime;
  };
  struct Position {
    std::string investorId;
    std::string instrumentId;
    char direction = '2';
    int ydInitial = 0;  // yesterday's position at the start of the day
    int yd = 0;         // yesterday's position still held
    int today = 0;
    int ydFrozen = 0;  // frozen by working closing orders
    int todayFrozen = 0;
    double openCost = 0.0;
    double margin = 0.0;  // at the fill prices of the lots held
  };
  // What one investor's working orders hold back, kept as running sums as orders start working,
  // fill and end; the sums return to exactly 0 when the last such order ends.
  struct InvestorTotals {
    int number = 0;              // the investor in the price books, where it never meets itself
    Account* account = nullptr;  // the account that books the investor's fills (the last user id's)
    double frozenMargin = 0.0;
    double frozenCommission = 0.0;
    int frozenOrders = 0;
  };
  struct OrderEntry {
    CThostFtdcOrderField field{};
    double frozenMargin = 0.0;
    double frozenCommission = 0.0;
    int frozenYd = 0;
    int frozenToday = 0;
    long long queueAhead = 0;  // displayed volume ahead of the order at its price
    std::size_t index = 0;  // its place in orders_
    InvestorTotals* totals = nullptr;
    bool inTotals = false;      // its frozen amounts are counted in *totals
    PriceBook* book = nullptr;  // the book it rests in, while it does
    bool working() const {
      return field.OrderStatus == THOST_FTDC_OST_NoTradeQueueing || field.OrderStatus == THOST_FTDC_OST_PartTradedQueueing;
    }
  };

  Account* findAccount(const std::string& userId);
  const Account* accountOf(const BrokerSession& session) const;
  Account& openAccount(const UserDef& user);
  Position& position(const std::string& investorId, const std::string& instrumentId, char direction);
  double availableOf(const Account& account) const;
  double positionMargin(const Position& p) const;
  std::string nextOrderSysId();
  CThostFtdcOrderField makeOrder(const BrokerSession& session, const CThostFtdcInputOrderField& input,
                                 const InstrumentState& instrument, int requestId);
  // Ends what a working order holds: its frozen funds and lots, its place in the price book.
  void release(OrderEntry& entry);
  // Adds orders_[index] to the indexes by reference, exchange id and sequence and, while it
  // works, its frozen amounts to its investor's totals.
  void indexOrder(std::size_t index);
  // Puts orders_[index] in its instrument's price book while it works.
  void rest(std::size_t index);
  // Rebuilds every index, book and total from orders_ (after orders were dropped or restored).
  void reindexOrders();
  InvestorTotals& totalsOf(const std::string& investorId);
  double frozenOf(const std::string& investorId, bool commission) const;
  // Opens the investor's database and restores from it, or starts it with the present records.
  void attachStore(BrokerSession& session, Account& account, const std::string& path);
  void restore(BrokerSession& session, Account& account, StoredDay& day);
  // Closes a stored earlier day: today's lots become yesterday's at the day's last price, whose
  // profit the funds take; orders and trades stay behind.
  void settle(StoredDay& day) const;
  void save(const std::string& investorId, const std::vector<long long>* orderSeqs,
            const std::vector<CThostFtdcTradeField>* trades);
  double lastPrice(const std::string& instrumentId) const;
  // The settlement price of the snapshot last seen, else the last price.
  double settlementPrice(const std::string& instrumentId) const;
  double positionProfit(const Account& a) const;
  double commissionOf(const InstrumentState& ins, char offset, bool today, double price, int volume) const;
  // Fills `volume` of a working order at `price`: books the position, margin, commission and
  // close profit and appends the order report and the trade to out.
  void fill(OrderEntry& entry, double price, int volume, std::vector<Report>& out);
  // Ends a working order's remainder (IOC, FOK, minimum volume) and appends its report.
  void cancelRemainder(OrderEntry& entry, const char* message, std::vector<Report>& out);
  // Books the matches in the order they were found, appending their reports to out.
  void book(const std::vector<Match>& matches, std::vector<Report>& out);
  // The matches of a new order against other clients' resting orders and the market's displayed
  // levels; sets the queue ahead of what is left. Books nothing.
  std::vector<Match> matchNew(std::size_t index);
  // The fills of the snapshot's instrument's resting orders once the snapshot is seen. Books nothing.
  std::vector<Match> matchSnapshot(const CThostFtdcDepthMarketDataField& depth);
  // Whether at least `needed` of the order could trade at once.
  bool canTrade(const OrderEntry& entry, long long needed);

  int checkClose(const InstrumentState& instrument, const Position& p, char offset, int volume) const;

  Scenario scenario_;
  std::map<std::string, InstrumentState> instruments_;
  std::map<std::string, Account> accounts_;  // by user id
  std::vector<Position> positions_;
  std::vector<OrderEntry> orders_;
  std::vector<CThostFtdcTradeField> trades_;
  std::vector<CThostFtdcTransferSerialField> transfers_;
  TextMap<MarketView> views_;  // by instrument id
  TextMap<PriceBook> books_;   // by instrument id: the working orders resting there
  std::map<std::string, InvestorTotals> totals_;  // by investor id
  // Indexes over orders_ (whose entries never move once added, except when a restore rebuilds
  // it), each in time order: by (front, session, trimmed reference), by trimmed OrderSysID and by
  // BrokerOrderSeq.
  std::map<std::tuple<int, int, std::string>, std::vector<std::size_t>> byRef_;
  std::unordered_map<std::string, std::vector<std::size_t>> bySysId_;
  std::unordered_map<int, std::vector<std::size_t>> bySeq_;
  std::map<std::string, double> storedLast_;  // restored last prices, until a snapshot comes
  std::map<std::string, std::unique_ptr<StateStore>> stores_;  // by investor id
  int lastTradeId_ = 0;
  int lastSessionId_ = 100000;  // far from the small session ids a scenario gives earlier connections
  int lastOrderSysId_ = 0;
  int lastOrderLocalId_ = 0;
  int lastBrokerOrderSeq_ = 0;
  int lastFutureSerial_ = 0;
};

}  // namespace qvsim

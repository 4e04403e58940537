// Exchange: the simulated exchange of one trading day. It lists the instruments with their price
// bands, keeps the day's orders and the price books the working ones rest in, sees the market's
// snapshots and finds the matches of orders against each other and against the market
// (core/exchange/matching.cc); it numbers orders (OrderSysID) and trades (TradeID) and makes the
// order's record change and the trade of each fill. It holds no money: the broker books the
// matches in its investors' accounts (core/broker/accounts.h) in the order they were found.
// Not thread-safe by itself: owned by the broker and used only under the world lock.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "core/exchange/instrument.h"
#include "core/exchange/market_view.h"
#include "core/exchange/match.h"
#include "core/exchange/price_book.h"
#include "core/exchange/working_order.h"
#include "core/scenario/scenario.h"
#include "core/text/text_map.h"

namespace qvsim {

class Exchange {
 public:
  // Lists the scenario's instruments and forgets every order, book, market view and number.
  void load(const Scenario& scenario);

  const InstrumentState* instrument(const std::string& instrumentId) const;
  const std::map<std::string, InstrumentState>& instruments() const { return instruments_; }
  // Takes a replayed market's pre-settlement price and price limits for an instrument (values that
  // are not positive finite prices are ignored).
  void setPriceBand(const std::string& instrumentId, double preSettlement, double upper, double lower);

  // The last price of the market's last snapshot, else the one a stored or settled day left, else
  // the pre-settlement price.
  double lastPrice(const std::string& instrumentId) const;
  // The settlement price of the snapshot last seen, else the last price.
  double settlementPrice(const std::string& instrumentId) const;
  // A stored day's last price, kept until the market sends one of its own.
  void rememberLast(const std::string& instrumentId, double price);

  // The day's orders, by number.
  std::vector<WorkingOrder>& orders() { return orders_; }
  const std::vector<WorkingOrder>& orders() const { return orders_; }
  // Adds an order to the day and returns its number.
  std::size_t add(const WorkingOrder& order);
  // Puts order `number` in its instrument's price book while it works.
  void rest(std::size_t number);
  // Takes order `number` out of its price book, if it rests there.
  void leave(std::size_t number);
  // Empties every price book (before the day's orders are rested again).
  void clearBooks();

  std::string nextOrderSysId();
  // Numbers of an earlier process's day that later ones must follow.
  void noteOrderSysId(long long number);
  void noteTradeId(long long number);
  void setLastTradeId(int number) { lastTradeId_ = number; }

  // Fills `volume` of working order `number` at `price`: its record shows the fill and, when
  // nothing is left, it leaves its book. Returns the trade of trading day `tradingDay`.
  CThostFtdcTradeField execute(std::size_t number, double price, int volume, const std::string& tradingDay);
  // Ends working order `number` as canceled with `message` (UTF-8) at `time`, out of its book.
  void cancel(std::size_t number, const char* message, const std::string& time);

  // The matches of order `number` (just added) against other clients' resting orders and the
  // market's displayed levels; sets the queue ahead of what is left. Changes no order's volume.
  std::vector<Match> matchNew(std::size_t number);
  // Sees the snapshot and finds the fills of its instrument's resting orders. Changes no order's volume.
  std::vector<Match> matchSnapshot(const CThostFtdcDepthMarketDataField& depth);

  // Closes the day at `settled` prices: the next day's price bands centre on them and they stand
  // as last prices; market views and orders are forgotten.
  void closeDay(const std::map<std::string, double>& settled);

 private:
  // Whether at least `needed` of the order could trade at once.
  bool canTrade(const WorkingOrder& order, long long needed);

  std::map<std::string, InstrumentState> instruments_;
  std::vector<WorkingOrder> orders_;
  TextMap<MarketView> views_;  // by instrument id
  TextMap<PriceBook> books_;   // by instrument id: the working orders resting there
  std::map<std::string, double> storedLast_;  // last prices of a stored or settled day, until a snapshot comes
  int lastTradeId_ = 0;
  int lastOrderSysId_ = 0;
};

}  // namespace qvsim

// Exchange: the simulated exchange of one trading day. It lists the instruments with their price
// bands, keeps the day's orders and the price books the working ones rest in, sees the market's
// snapshots and finds the matches of orders against each other and against the market
// (core/exchange/matching.cc); it numbers orders (OrderSysID) and trades (TradeID) and makes the
// order's record change and the trade of each fill. It holds no money: the broker books the
// matches in its investors' accounts (core/broker/accounts.h) in the order they were found.
// Its clock runs by trading sessions (core/market_time/trading_hours.h): in a replay, or when the
// scenario says "sessions": "table", orders are taken only in continuous trading and in the
// opening call auction, which matches at one price when it ends, and every change of a product's
// phase is an instrument status for the trader sessions. Otherwise it trades at any hour.
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
#include "core/market_time/calendar.h"
#include "core/market_time/trading_hours.h"
#include "core/scenario/scenario.h"
#include "core/text/text_map.h"

namespace qvsim {

// The product of an instrument: as the scenario names it, else the instrument id's leading letters.
std::string productOf(const InstrumentDef& def);

class Exchange {
 public:
  // Lists the scenario's instruments, takes its trading hours and calendar, and forgets every
  // order, book, market view and number.
  void load(const Scenario& scenario);

  const TradingHours& hours() const { return hours_; }
  const Calendar& calendar() const { return calendar_; }
  // Whether the scenario has the exchange trade at any hour.
  bool tradesAtAnyHour() const { return sessions_ == "always"; }

  // The instrument's phase now, by the exchange's clock: continuous trading at any hour when the
  // sessions do not apply or its product has no trading hours.
  Phase phase(const InstrumentState& ins) const;
  // The listed instrument, or null.
  InstrumentState* listed(std::string_view instrumentId);
  // Why the exchange refuses a new order of the instrument now (UTF-8), or empty: outside
  // continuous trading and the auction's collection of orders.
  std::string sessionRefusal(const InstrumentState& ins, const CThostFtdcInputOrderField& input) const;
  // The instrument statuses that changed since the last call, by product, in the order they
  // changed: a product seen the first time in a trading day reports the phase it is in.
  std::vector<CThostFtdcInstrumentStatusField> statusChanges();

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
  // Sees the snapshot and finds the fills of its instrument's resting orders: first, once a day,
  // the opening auction's when the auction ends, then those of continuous trading. Changes no
  // order's volume.
  std::vector<Match> matchSnapshot(const CThostFtdcDepthMarketDataField& depth);

  // Closes the day at `settled` prices: the next day's price bands centre on them and they stand
  // as last prices; market views and orders are forgotten.
  void closeDay(const std::map<std::string, double>& settled);

 private:
  // Whether at least `needed` of the order could trade at once.
  bool canTrade(const WorkingOrder& order, long long needed);
  bool sessionsApply() const;
  // The trading day the exchange's clock is in: a night belongs to the next trading day, a
  // weekend or holiday to none (0).
  int marketDay() const;
  // The phases of the instrument's product today, or null when it trades at any hour.
  const DayPhases* phasesOf(const InstrumentState& ins) const;
  // Whether the instrument's opening auction ends with the snapshot now seen (once a day), and
  // whether the snapshot belongs to continuous trading (or is stamped at a session's close).
  bool auctionDue(InstrumentState& ins, bool& continuous);
  // The opening auction of an instrument's resting orders at one price: in a replay the price and
  // volume of the first snapshot after the auction, else the price at which most would trade.
  void matchAuction(const std::string& instrumentId, const CThostFtdcDepthMarketDataField& depth,
                    std::vector<Match>& found);

  std::map<std::string, InstrumentState> instruments_;
  TextMap<InstrumentState*> listed_;  // the same, hashed
  std::vector<WorkingOrder> orders_;
  TextMap<MarketView> views_;  // by instrument id
  TextMap<PriceBook> books_;   // by instrument id: the working orders resting there
  std::map<std::string, double> storedLast_;  // last prices of a stored or settled day, until a snapshot comes
  int lastTradeId_ = 0;
  int lastOrderSysId_ = 0;

  TradingHours hours_;
  Calendar calendar_;
  std::string sessions_;  // the scenario's rule: "table", "always" or empty (by the table in a replay)
  mutable long long clockKey_ = -1;  // the clock's date and part of day marketDay() last answered for
  mutable int clockDay_ = 0;
  mutable int phasesDay_ = -1;
  mutable long long phasesEpoch_ = 0;  // counts the caches of phases_
  mutable std::map<std::string, DayPhases> phases_;  // by "exchange.product", for phasesDay_
  int statusDay_ = -1;
  long long nextStatusAt_ = 0;  // no product's phase changes before this (exchangeMillis)
  std::map<std::string, std::size_t> statusSent_;  // by "exchange.product": changes of statusDay_ reported
};

}  // namespace qvsim

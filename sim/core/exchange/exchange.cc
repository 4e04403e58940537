// The exchange's day: its instruments and price bands, its orders and the records their fills and
// cancellations change, and the prices it last saw. Called under the world lock, like every
// Exchange method.
#include "core/exchange/exchange.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ThostFtdcUserApiDataType.h"
#include "core/exchange/exchange_clock.h"
#include "core/exchange/exchange_rules.h"
#include "core/exchange/margins.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

namespace {

bool isPrice(double v) { return v > 0.0 && v < 1e300; }

}  // namespace

void Exchange::load(const Scenario& scenario) {
  instruments_.clear();
  listed_.clear();
  orders_.clear();
  books_.clear();
  views_.clear();
  storedLast_.clear();
  lastOrderSysId_ = 0;
  for (const InstrumentDef& def : scenario.instruments) {
    InstrumentState s;
    s.def = def;
    s.centreBand(def.preSettlementPrice);
    auto& f = s.field;
    f = zeroRecord<CThostFtdcInstrumentField>();
    setText(f.InstrumentID, def.instrumentId);
    setText(f.ExchangeID, def.exchangeId);
    setText(f.InstrumentName, toGb2312(def.name));
    setText(f.ExchangeInstID, def.instrumentId);
    setText(f.ProductID, def.productId);
    f.DeliveryYear = def.deliveryYear;
    f.DeliveryMonth = def.deliveryMonth;
    f.MaxMarketOrderVolume = def.maxMarketOrderVolume;
    f.MinMarketOrderVolume = def.minMarketOrderVolume;
    f.MaxLimitOrderVolume = def.maxLimitOrderVolume;
    f.MinLimitOrderVolume = def.minLimitOrderVolume;
    f.VolumeMultiple = def.multiplier;
    f.PriceTick = def.priceTick;
    if (def.deliveryYear > 0 && def.deliveryMonth > 0) {
      char date[48];
      std::snprintf(date, sizeof(date), "%04d%02d15", def.deliveryYear, def.deliveryMonth);
      setText(f.ExpireDate, date);
      setText(f.StartDelivDate, date);
      setText(f.EndDelivDate, date);
      std::snprintf(date, sizeof(date), "%04d%02d01", def.deliveryYear - 1, def.deliveryMonth);
      setText(f.CreateDate, date);
      setText(f.OpenDate, date);
    }
    f.InstLifePhase = THOST_FTDC_IP_Started;
    f.IsTrading = 1;
    f.PositionType = THOST_FTDC_PT_Gross;
    f.PositionDateType = splitsPositionDate(def.exchangeId) ? THOST_FTDC_PDT_UseHistory : THOST_FTDC_PDT_NoUseHistory;
    f.MaxMarginSideAlgorithm = THOST_FTDC_MMSA_NO;
    describeTerms(def, f);
    s.productKey = def.exchangeId + "." + productOf(def);
    instruments_[def.instrumentId] = s;
  }
  for (auto& [id, ins] : instruments_) listed_.emplace(id, &ins);
  hours_ = TradingHours::shipped();
  std::string ignored;  // the scenario's rows were checked when it was read
  for (const HoursDef& h : scenario.tradingHours) hours_.set(h.exchangeId, h.products, h.sessions, ignored);
  calendar_ = Calendar::shipped();
  for (int day : scenario.holidays) calendar_.addHoliday(day);
  sessions_ = scenario.sessions;
  phasesDay_ = statusDay_ = -1;
  clockKey_ = -1;
  nextStatusAt_ = 0;
  phases_.clear();
  statusSent_.clear();
}

InstrumentState* Exchange::listed(std::string_view instrumentId) {
  auto it = listed_.find(instrumentId);
  return it == listed_.end() ? nullptr : it->second;
}

const InstrumentState* Exchange::instrument(const std::string& instrumentId) const {
  auto it = instruments_.find(instrumentId);
  return it == instruments_.end() ? nullptr : &it->second;
}

void Exchange::setPriceBand(const std::string& instrumentId, double preSettlement, double upper, double lower) {
  auto it = instruments_.find(instrumentId);
  if (it == instruments_.end()) return;
  InstrumentState& s = it->second;
  if (isPrice(preSettlement)) s.def.preSettlementPrice = preSettlement;
  if (isPrice(upper) && isPrice(lower) && lower <= upper) {
    s.upperLimit = upper;
    s.lowerLimit = lower;
  }
}

double Exchange::lastPrice(const std::string& instrumentId) const {
  auto it = views_.find(instrumentId);
  if (it != views_.end() && it->second.known) {
    const double last = it->second.depth.LastPrice;
    if (isPrice(last)) return last;
  }
  auto stored = storedLast_.find(instrumentId);
  if (stored != storedLast_.end()) return stored->second;
  return instruments_.at(instrumentId).def.preSettlementPrice;
}

double Exchange::settlementPrice(const std::string& instrumentId) const {
  auto view = views_.find(instrumentId);
  if (view != views_.end() && view->second.known && isPrice(view->second.depth.SettlementPrice)) {
    return view->second.depth.SettlementPrice;
  }
  return lastPrice(instrumentId);
}

void Exchange::rememberLast(const std::string& instrumentId, double price) {
  if (views_.count(instrumentId) == 0) storedLast_[instrumentId] = price;
}

std::size_t Exchange::add(const WorkingOrder& order) {
  orders_.push_back(order);
  return orders_.size() - 1;
}

void Exchange::rest(std::size_t number) {
  WorkingOrder& order = orders_[number];
  const auto& f = order.field;
  if (!order.working() || f.VolumeTotal <= 0 || order.book != nullptr) return;
  PriceBook& book = books_[getText(f.InstrumentID)];
  book.add(number, f.Direction == THOST_FTDC_D_Buy, order.party, f.LimitPrice, f.VolumeTotal);
  order.book = &book;
}

void Exchange::leave(std::size_t number) {
  WorkingOrder& order = orders_[number];
  if (order.book == nullptr) return;
  order.book->remove(number);
  order.book = nullptr;
}

void Exchange::clearBooks() {
  books_.clear();
  for (WorkingOrder& order : orders_) order.book = nullptr;
}

std::string Exchange::nextOrderSysId() { return padded(++lastOrderSysId_, 12); }

void Exchange::noteOrderSysId(long long number) { lastOrderSysId_ = std::max<long long>(lastOrderSysId_, number); }

void Exchange::noteTradeId(long long number) { lastTradeId_ = std::max<long long>(lastTradeId_, number); }

CThostFtdcTradeField Exchange::execute(std::size_t number, double price, int volume, const std::string& tradingDay) {
  WorkingOrder& order = orders_[number];
  auto& f = order.field;
  const std::string now = chinaTime();
  f.VolumeTraded += volume;
  f.VolumeTotal -= volume;
  f.OrderStatus = f.VolumeTotal == 0 ? THOST_FTDC_OST_AllTraded : THOST_FTDC_OST_PartTradedQueueing;
  setText(f.StatusMsg, toGb2312(f.VolumeTotal == 0 ? "全部成交报单已提交" : "部分成交"));
  setText(f.UpdateTime, now);
  f.NotifySequence += 1;
  if (f.VolumeTotal == 0) {
    leave(number);
  } else if (order.book != nullptr) {
    order.book->reduce(number, volume);
  }

  auto t = zeroRecord<CThostFtdcTradeField>();
  setText(t.BrokerID, getText(f.BrokerID));
  setText(t.InvestorID, getText(f.InvestorID));
  setText(t.InstrumentID, getText(f.InstrumentID));
  setText(t.OrderRef, getText(f.OrderRef));
  setText(t.UserID, getText(f.UserID));
  setText(t.ExchangeID, getText(f.ExchangeID));
  setText(t.TradeID, padded(++lastTradeId_, 12));
  t.Direction = f.Direction;
  setText(t.OrderSysID, getText(f.OrderSysID));
  setText(t.ParticipantID, getText(f.ParticipantID));
  setText(t.ClientID, getText(f.ClientID));
  t.TradingRole = THOST_FTDC_ER_Broker;
  setText(t.ExchangeInstID, getText(f.InstrumentID));
  t.OffsetFlag = f.CombOffsetFlag[0];
  t.HedgeFlag = f.CombHedgeFlag[0];
  t.Price = price;
  t.Volume = volume;
  setText(t.TradeDate, chinaDate());
  setText(t.TradeTime, now);
  t.TradeType = THOST_FTDC_TRDT_Common;
  t.PriceSource = THOST_FTDC_PSRC_LastPrice;
  setText(t.TraderID, getText(f.TraderID));
  setText(t.OrderLocalID, getText(f.OrderLocalID));
  setText(t.BusinessUnit, getText(f.BusinessUnit));
  t.SequenceNo = lastTradeId_;
  setText(t.TradingDay, tradingDay);
  t.SettlementID = 1;
  t.BrokerOrderSeq = f.BrokerOrderSeq;
  t.TradeSource = THOST_FTDC_TSRC_NORMAL;
  setText(t.InvestUnitID, getText(f.InvestUnitID));
  return t;
}

void Exchange::cancel(std::size_t number, const char* message, const std::string& time) {
  leave(number);
  auto& f = orders_[number].field;
  f.OrderStatus = THOST_FTDC_OST_Canceled;
  if (!time.empty()) {
    setText(f.CancelTime, time);
    setText(f.UpdateTime, time);
  }
  setText(f.StatusMsg, toGb2312(message));
  f.NotifySequence += 1;
}

void Exchange::closeDay(const std::map<std::string, double>& settled) {
  for (auto& [id, s] : instruments_) {
    const double price = settled.at(id);
    s.centreBand(price);
    storedLast_[id] = price;
  }
  views_.clear();
  orders_.clear();
  books_.clear();
}

void InstrumentState::centreBand(double preSettlement) {
  const double tick = def.priceTick;
  const double preTicks = std::round(preSettlement / tick);
  def.preSettlementPrice = preTicks * tick;
  upperLimit = std::floor(preTicks * (1.0 + def.limitRatio) + kPriceEpsilon) * tick;
  lowerLimit = std::ceil(preTicks * (1.0 - def.limitRatio) - kPriceEpsilon) * tick;
}

}  // namespace qvsim

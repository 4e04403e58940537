// The broker's day as a scenario sets it up: instruments and their price limits, accounts,
// positions, orders and trades. Called under the world lock, like every Broker method.
#include "core/broker/broker.h"

#include <cmath>
#include <cstdio>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

void Broker::load(const Scenario& scenario) {
  scenario_ = scenario;
  instruments_.clear();
  accounts_.clear();
  positions_.clear();
  orders_.clear();
  books_.clear();
  totals_.clear();
  byRef_.clear();
  bySysId_.clear();
  bySeq_.clear();
  trades_.clear();
  transfers_.clear();
  views_.clear();
  storedLast_.clear();
  stores_.clear();
  lastOrderSysId_ = 0;
  lastOrderLocalId_ = 0;
  lastBrokerOrderSeq_ = 0;
  lastFutureSerial_ = 0;

  for (const InstrumentDef& def : scenario_.instruments) {
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
    instruments_[def.instrumentId] = s;
  }
  for (const UserDef& user : scenario_.users) openAccount(user);

  for (const PositionDef& def : scenario_.positions) {
    Account* account = findAccount(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = instruments_.at(def.instrumentId);
    Position& p = position(account->investorId, def.instrumentId, def.direction);
    p.ydInitial += def.yesterday;
    p.yd += def.yesterday;
    p.today += def.today;
    const double price = def.openPrice > 0.0 ? def.openPrice : ins.def.preSettlementPrice;
    p.openCost += price * (def.yesterday + def.today) * ins.def.multiplier;
    p.margin += marginOf(ins.def, def.direction == THOST_FTDC_PD_Long, ins.def.preSettlementPrice,
                         def.yesterday + def.today);
  }

  for (const OrderDef& def : scenario_.orders) {
    Account* account = findAccount(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = instruments_.at(def.instrumentId);
    BrokerSession past;
    past.frontId = def.frontId != 0 ? def.frontId : scenario_.frontId;
    past.sessionId = def.sessionId;
    past.userId = account->userId;
    past.investorId = account->investorId;
    auto input = zeroRecord<CThostFtdcInputOrderField>();
    setText(input.InstrumentID, def.instrumentId);
    setText(input.OrderRef, def.orderRef.empty() ? std::to_string(orders_.size() + 1) : def.orderRef);
    input.OrderPriceType = THOST_FTDC_OPT_LimitPrice;
    input.Direction = def.direction;
    input.CombOffsetFlag[0] = def.offset;
    input.CombHedgeFlag[0] = THOST_FTDC_HF_Speculation;
    input.LimitPrice = def.price > 0.0 ? def.price : ins.def.preSettlementPrice;
    input.VolumeTotalOriginal = def.volume;
    input.TimeCondition = '3';
    input.VolumeCondition = '1';
    input.MinVolume = 1;
    input.ContingentCondition = '1';
    input.ForceCloseReason = '0';
    OrderEntry entry;
    entry.field = makeOrder(past, input, ins, 0);
    auto& f = entry.field;
    setText(f.OrderSysID, def.orderSysId.empty() ? nextOrderSysId() : def.orderSysId);
    setText(f.InsertTime, def.insertTime);
    f.OrderSubmitStatus = THOST_FTDC_OSS_Accepted;
    f.OrderStatus = def.status;
    f.VolumeTraded = def.status == '0' ? def.volume : def.traded;
    // A canceled order keeps its untraded remainder in VolumeTotal, as the exchange reports it.
    f.VolumeTotal = def.status == '0' ? 0 : def.volume - def.traded;
    const char* msg = def.status == '0' ? "全部成交" : def.status == '5' ? "已撤单" : def.status == '1' ? "部分成交" : "未成交";
    setText(f.StatusMsg, toGb2312(msg));
    if (def.status == '3' || def.status == '1') {
      if (def.offset == THOST_FTDC_OF_Open) {
        entry.frozenMargin = marginOf(ins.def, def.direction == '0', input.LimitPrice, f.VolumeTotal);
      } else {
        Position& p = position(account->investorId, def.instrumentId, def.direction == '0' ? '3' : '2');
        const int fromYd = std::min(f.VolumeTotal, std::max(0, p.yd - p.ydFrozen));
        entry.frozenYd = fromYd;
        entry.frozenToday = f.VolumeTotal - fromYd;
        p.ydFrozen += entry.frozenYd;
        p.todayFrozen += entry.frozenToday;
      }
    }
    orders_.push_back(entry);
    indexOrder(orders_.size() - 1);
    rest(orders_.size() - 1);
  }

  int tradeSeq = 0;
  for (const TradeDef& def : scenario_.trades) {
    Account* account = findAccount(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = instruments_.at(def.instrumentId);
    auto t = zeroRecord<CThostFtdcTradeField>();
    setText(t.BrokerID, scenario_.brokerId);
    setText(t.InvestorID, account->investorId);
    setText(t.InstrumentID, def.instrumentId);
    setText(t.OrderRef, def.orderRef);
    setText(t.UserID, account->userId);
    setText(t.ExchangeID, ins.def.exchangeId);
    setText(t.TradeID, def.tradeId.empty() ? padded(++tradeSeq, 12) : def.tradeId);
    t.Direction = def.direction;
    setText(t.OrderSysID, def.orderSysId);
    setText(t.ClientID, account->investorId);
    t.TradingRole = 'E';
    setText(t.ExchangeInstID, def.instrumentId);
    t.OffsetFlag = def.offset;
    t.HedgeFlag = THOST_FTDC_HF_Speculation;
    t.Price = def.price > 0.0 ? def.price : ins.def.preSettlementPrice;
    t.Volume = def.volume;
    setText(t.TradeDate, scenario_.tradingDay);
    setText(t.TradeTime, def.tradeTime);
    t.TradeType = THOST_FTDC_TRDT_Common;
    t.PriceSource = '0';
    setText(t.TradingDay, scenario_.tradingDay);
    t.SettlementID = 1;
    t.TradeSource = '0';
    trades_.push_back(t);
  }
  lastTradeId_ = tradeSeq;
}

void Broker::setPriceBand(const std::string& instrumentId, double preSettlement, double upper, double lower) {
  auto it = instruments_.find(instrumentId);
  if (it == instruments_.end()) return;
  auto price = [](double v) { return v > 0.0 && v < 1e300; };
  InstrumentState& s = it->second;
  if (price(preSettlement)) s.def.preSettlementPrice = preSettlement;
  if (price(upper) && price(lower) && lower <= upper) {
    s.upperLimit = upper;
    s.lowerLimit = lower;
  }
}

const InstrumentState* Broker::instrument(const std::string& instrumentId) const {
  auto it = instruments_.find(instrumentId);
  return it == instruments_.end() ? nullptr : &it->second;
}

}  // namespace qvsim

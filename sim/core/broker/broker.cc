// The broker's day as a scenario sets it up: the exchange's instruments, accounts, positions,
// orders and trades. Called under the world lock, like every Broker method.
#include "core/broker/broker.h"

#include <cmath>
#include <cstdio>

#include "ThostFtdcUserApiDataType.h"
#include "core/exchange/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

void Broker::load(const Scenario& scenario) {
  scenario_ = scenario;
  exchange_.load(scenario_);
  accounts_.clear();
  byRef_.clear();
  bySysId_.clear();
  bySeq_.clear();
  trades_.clear();
  transfers_.clear();
  stores_.clear();
  lastOrderLocalId_ = 0;
  lastBrokerOrderSeq_ = 0;
  lastFutureSerial_ = 0;

  for (const UserDef& user : scenario_.users) openAccount(user);

  for (const PositionDef& def : scenario_.positions) {
    Account* account = accounts_.find(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = exchange_.instruments().at(def.instrumentId);
    Position& p = accounts_.position(account->investorId, def.instrumentId, def.direction);
    p.ydInitial += def.yesterday;
    p.yd += def.yesterday;
    p.today += def.today;
    const double price = def.openPrice > 0.0 ? def.openPrice : ins.def.preSettlementPrice;
    p.openCost += price * (def.yesterday + def.today) * ins.def.multiplier;
    p.margin += marginOf(ins.def, def.direction == THOST_FTDC_PD_Long, ins.def.preSettlementPrice,
                         def.yesterday + def.today);
  }

  for (const OrderDef& def : scenario_.orders) {
    Account* account = accounts_.find(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = exchange_.instruments().at(def.instrumentId);
    BrokerSession past;
    past.frontId = def.frontId != 0 ? def.frontId : scenario_.frontId;
    past.sessionId = def.sessionId;
    past.userId = account->userId;
    past.investorId = account->investorId;
    auto input = zeroRecord<CThostFtdcInputOrderField>();
    setText(input.InstrumentID, def.instrumentId);
    setText(input.OrderRef, def.orderRef.empty() ? std::to_string(exchange_.orders().size() + 1) : def.orderRef);
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
    WorkingOrder order;
    OrderHold hold;
    order.field = makeOrder(past, input, ins, 0);
    auto& f = order.field;
    setText(f.OrderSysID, def.orderSysId.empty() ? exchange_.nextOrderSysId() : def.orderSysId);
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
        hold.frozenMargin = marginOf(ins.def, def.direction == '0', input.LimitPrice, f.VolumeTotal);
      } else {
        Position& p = accounts_.position(account->investorId, def.instrumentId, def.direction == '0' ? '3' : '2');
        const int fromYd = std::min(f.VolumeTotal, std::max(0, p.yd - p.ydFrozen));
        hold.frozenYd = fromYd;
        hold.frozenToday = f.VolumeTotal - fromYd;
        p.ydFrozen += hold.frozenYd;
        p.todayFrozen += hold.frozenToday;
      }
    }
    exchange_.rest(addOrder(order, hold));
  }

  int tradeSeq = 0;
  for (const TradeDef& def : scenario_.trades) {
    Account* account = accounts_.find(def.userId);
    if (account == nullptr) account = &openAccount(UserDef{def.userId, "", "", "", "", -1.0, -1.0});
    const InstrumentState& ins = exchange_.instruments().at(def.instrumentId);
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
  exchange_.setLastTradeId(tradeSeq);
}

Account& Broker::openAccount(const UserDef& user) {
  return accounts_.open(user, scenario_.initialFunds, scenario_.initialBankBalance);
}

Account* Broker::accountOf(const BrokerSession& session) {
  return session.loggedIn ? accounts_.find(session.userId) : nullptr;
}

const Account* Broker::accountOf(const BrokerSession& session) const {
  return session.loggedIn ? accounts_.find(session.userId) : nullptr;
}

}  // namespace qvsim

// Orders entering and leaving the broker: the order record, insertion after the checks
// (its fields here, the exchange's in core/exchange/order_checks.cc) with what the order holds, cancellation, the largest order an
// account allows and the indexes over the exchange's orders. Called under the world lock, like
// every Broker method.
#include <algorithm>
#include <cstring>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/errors.h"
#include "core/exchange/margins.h"
#include "core/exchange/exchange_rules.h"
#include "core/exchange/order_checks.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

namespace {

// kErrNone when the broker takes an order's fields: a known direction, offset and price type, a
// hedge flag, a positive volume, a price for a limit order, and the session's own investor and
// the instrument's exchange when they are given; kErrBadField otherwise.
int checkFields(const BrokerSession& session, const CThostFtdcInputOrderField& input, const InstrumentState& ins) {
  const char offset = input.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : input.CombOffsetFlag[0];
  const bool market = input.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const std::string investor = getText(input.InvestorID);
  const std::string exchange = getText(input.ExchangeID);
  if ((input.Direction != THOST_FTDC_D_Buy && input.Direction != THOST_FTDC_D_Sell) ||
      (offset != THOST_FTDC_OF_Open && offset != THOST_FTDC_OF_Close && offset != THOST_FTDC_OF_CloseToday &&
       offset != THOST_FTDC_OF_CloseYesterday) ||
      (input.OrderPriceType != THOST_FTDC_OPT_AnyPrice && input.OrderPriceType != THOST_FTDC_OPT_LimitPrice) ||
      input.CombHedgeFlag[0] == 0 || input.VolumeTotalOriginal <= 0 ||
      (!market && !(input.LimitPrice > 0.0) && ins.lowerLimit > 0.0) ||
      (!investor.empty() && investor != session.investorId) || (!exchange.empty() && exchange != ins.def.exchangeId)) {
    return kErrBadField;
  }
  return kErrNone;
}

}  // namespace

std::size_t Broker::addOrder(const WorkingOrder& order, const OrderHold& hold) {
  const std::size_t number = exchange_.add(order);
  accounts_.holds().push_back(hold);
  indexOrder(number);
  return number;
}

void Broker::indexOrder(std::size_t number) {
  WorkingOrder& order = exchange_.orders()[number];
  const auto& f = order.field;
  const std::string investor = getText(f.InvestorID);
  order.party = accounts_.party(investor);
  byRef_[{f.FrontID, f.SessionID, trimmed(getText(f.OrderRef))}].push_back(number);
  const std::string sysId = trimmed(getText(f.OrderSysID));
  if (!sysId.empty()) bySysId_[sysId].push_back(number);
  bySeq_[f.BrokerOrderSeq].push_back(number);
  accounts_.count(number, investor, order.working());
}

void Broker::reindexOrders() {
  exchange_.clearBooks();
  byRef_.clear();
  bySysId_.clear();
  bySeq_.clear();
  accounts_.resetTotals();
  for (std::size_t i = 0; i < exchange_.orders().size(); ++i) {
    indexOrder(i);
    exchange_.rest(i);
  }
}

CThostFtdcOrderField Broker::makeOrder(const BrokerSession& session, const CThostFtdcInputOrderField& input,
                                       const InstrumentState& ins, int requestId) {
  auto f = zeroRecord<CThostFtdcOrderField>();
  setText(f.BrokerID, scenario_.brokerId);
  setText(f.InvestorID, session.investorId);
  setText(f.InstrumentID, getText(input.InstrumentID));
  setText(f.OrderRef, getText(input.OrderRef));
  setText(f.UserID, session.userId);
  f.OrderPriceType = input.OrderPriceType;
  f.Direction = input.Direction;
  std::memcpy(f.CombOffsetFlag, input.CombOffsetFlag, sizeof(f.CombOffsetFlag));
  std::memcpy(f.CombHedgeFlag, input.CombHedgeFlag, sizeof(f.CombHedgeFlag));
  f.CombOffsetFlag[sizeof(f.CombOffsetFlag) - 1] = 0;
  f.CombHedgeFlag[sizeof(f.CombHedgeFlag) - 1] = 0;
  f.LimitPrice = input.LimitPrice;
  f.VolumeTotalOriginal = input.VolumeTotalOriginal;
  f.TimeCondition = input.TimeCondition;
  setText(f.GTDDate, getText(input.GTDDate));
  f.VolumeCondition = input.VolumeCondition;
  f.MinVolume = input.MinVolume;
  f.ContingentCondition = input.ContingentCondition;
  f.StopPrice = input.StopPrice;
  f.ForceCloseReason = input.ForceCloseReason;
  f.IsAutoSuspend = input.IsAutoSuspend;
  setText(f.BusinessUnit, getText(input.BusinessUnit));
  f.RequestID = requestId;
  setText(f.OrderLocalID, padded(++lastOrderLocalId_, 12));
  setText(f.ExchangeID, ins.def.exchangeId);
  setText(f.ParticipantID, scenario_.brokerId);
  setText(f.ClientID, session.investorId);
  setText(f.ExchangeInstID, ins.def.instrumentId);
  setText(f.TraderID, scenario_.brokerId + "cac");
  f.InstallID = 1;
  f.OrderSubmitStatus = THOST_FTDC_OSS_InsertSubmitted;
  setText(f.TradingDay, scenario_.tradingDay);
  f.SettlementID = 1;
  f.OrderSource = THOST_FTDC_OSRC_Participant;
  f.OrderStatus = THOST_FTDC_OST_Unknown;
  f.OrderType = THOST_FTDC_ORDT_Normal;
  f.VolumeTraded = 0;
  f.VolumeTotal = input.VolumeTotalOriginal;
  setText(f.InsertDate, chinaDate());
  setText(f.InsertTime, chinaTime());
  f.FrontID = session.frontId;
  f.SessionID = session.sessionId;
  setText(f.StatusMsg, toGb2312("报单已提交"));
  f.UserForceClose = input.UserForceClose;
  setText(f.ActiveUserID, session.userId);
  f.BrokerOrderSeq = ++lastBrokerOrderSeq_;
  f.IsSwapOrder = input.IsSwapOrder;
  setText(f.InvestUnitID, getText(input.InvestUnitID));
  setText(f.AccountID, session.investorId);
  setText(f.CurrencyID, kCurrency);
  setText(f.IPAddress, getText(input.IPAddress));
  setText(f.MacAddress, getText(input.MacAddress));
  return f;
}

OrderOutcome Broker::insertOrder(BrokerSession& session, CThostFtdcInputOrderField& input, int requestId) {
  OrderOutcome out;
  Account* account = accountOf(session);
  if (account == nullptr) {
    out.errorId = kErrNotLoggedIn;
    return out;
  }
  const InstrumentState* ins = instrument(getText(input.InstrumentID));
  if (ins == nullptr) {
    out.errorId = kErrInstrumentNotFound;
    return out;
  }
  out.errorId = checkFields(session, input, *ins);
  if (out.errorId != kErrNone) return out;
  if (!account->confirmed) {
    out.errorId = kErrSettlementNotConfirmed;
    return out;
  }
  const char offset = input.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : input.CombOffsetFlag[0];
  const bool market = input.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  std::string ref = getText(input.OrderRef);
  if (ref.empty()) {
    ref = std::to_string(session.maxOrderRef + 1);
    setText(input.OrderRef, ref);
  }
  if (byRef_.count({session.frontId, session.sessionId, trimmed(ref)}) != 0) {
    out.errorId = kErrDuplicateOrderRef;
    return out;
  }
  const double price = market ? (input.Direction == THOST_FTDC_D_Buy ? ins->upperLimit : ins->lowerLimit) : input.LimitPrice;
  const int volume = input.VolumeTotalOriginal;
  double margin = 0.0;
  // Frozen at the open or close-today rate, whichever is higher, so a fill never costs more.
  const double commission = std::max(accounts_.commissionOf(*ins, offset, false, price, volume),
                                     accounts_.commissionOf(*ins, offset, true, price, volume));
  Position* closing = nullptr;
  if (offset == THOST_FTDC_OF_Open) {
    margin = marginOf(ins->def, input.Direction == THOST_FTDC_D_Buy, price, volume);
    if (margin + commission > accounts_.available(*account) + kPriceEpsilon) {
      out.errorId = kErrInsufficientMoney;
      return out;
    }
  } else {
    closing = &accounts_.position(session.investorId, ins->def.instrumentId,
                        input.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
    out.errorId = accounts_.checkClose(*ins, *closing, offset, volume);
    if (out.errorId != kErrNone) return out;
  }
  session.maxOrderRef = std::max(session.maxOrderRef, refNumber(ref));

  WorkingOrder order;
  OrderHold hold;
  order.field = makeOrder(session, input, *ins, requestId);
  out.reports.push_back(order.field);

  out.exchangeRejection = exchangeRefusal(input, *ins);
  if (out.exchangeRejection.empty()) out.exchangeRejection = exchange_.sessionRefusal(*ins, input);
  const std::string& ex = ins->def.exchangeId;
  auto& f = order.field;
  if (!out.exchangeRejection.empty()) {
    f.OrderSubmitStatus = THOST_FTDC_OSS_InsertRejected;
    f.OrderStatus = THOST_FTDC_OST_Canceled;
    setText(f.CancelTime, chinaTime());
    setText(f.StatusMsg, toGb2312("已撤单报单被拒绝" + ex + ":" + out.exchangeRejection));
  } else {
    setText(f.OrderSysID, exchange_.nextOrderSysId());
    f.OrderSubmitStatus = THOST_FTDC_OSS_Accepted;
    f.OrderStatus = THOST_FTDC_OST_NoTradeQueueing;
    setText(f.StatusMsg, toGb2312("未成交"));
    hold.frozenMargin = margin;
    hold.frozenCommission = commission;
    if (closing != nullptr) {
      if (splitsPositionDate(ex)) {
        (offset == THOST_FTDC_OF_CloseToday ? hold.frozenToday : hold.frozenYd) = volume;
      } else {
        hold.frozenYd = std::min(volume, closing->yd - closing->ydFrozen);
        hold.frozenToday = volume - hold.frozenYd;
      }
      closing->ydFrozen += hold.frozenYd;
      closing->todayFrozen += hold.frozenToday;
    }
  }
  f.NotifySequence = 1;
  out.reports.push_back(f);
  const bool accepted = out.exchangeRejection.empty();
  const std::size_t number = addOrder(order, hold);
  // In the opening auction's collection an order only rests; the auction matches it.
  if (accepted && exchange_.phase(*ins) == Phase::kContinuous) book(exchange_.matchNew(number), out.followUps);
  exchange_.rest(number);
  persist(out.reports, out.followUps);
  return out;
}

OrderOutcome Broker::cancelOrder(const BrokerSession& session, const CThostFtdcInputOrderActionField& input,
                                 int requestId) {
  OrderOutcome out;
  auto& a = out.action;
  a = zeroRecord<CThostFtdcOrderActionField>();
  setText(a.BrokerID, scenario_.brokerId);
  setText(a.InvestorID, session.investorId);
  a.OrderActionRef = input.OrderActionRef;
  setText(a.OrderRef, getText(input.OrderRef));
  a.RequestID = requestId;
  a.FrontID = input.FrontID;
  a.SessionID = input.SessionID;
  setText(a.ExchangeID, getText(input.ExchangeID));
  setText(a.OrderSysID, getText(input.OrderSysID));
  a.ActionFlag = input.ActionFlag;
  a.LimitPrice = input.LimitPrice;
  a.VolumeChange = input.VolumeChange;
  setText(a.ActionDate, chinaDate());
  setText(a.ActionTime, chinaTime());
  setText(a.UserID, session.userId);
  setText(a.InstrumentID, getText(input.InstrumentID));
  setText(a.IPAddress, getText(input.IPAddress));
  setText(a.MacAddress, getText(input.MacAddress));
  a.OrderActionStatus = THOST_FTDC_OAS_Rejected;

  auto fail = [&](int id) {
    out.errorId = id;
    setText(a.StatusMsg, getText(makeRspInfo(id).ErrorMsg));
    return out;
  };
  if (!session.loggedIn) return fail(kErrNotLoggedIn);
  if (input.ActionFlag != THOST_FTDC_AF_Delete) return fail(kErrBadOrderActionField);
  const std::string sysId = trimmed(getText(input.OrderSysID));
  const std::string ref = trimmed(getText(input.OrderRef));
  const std::string exchange = getText(input.ExchangeID);
  const std::string instrumentId = getText(input.InstrumentID);
  if (sysId.empty() && ref.empty()) return fail(kErrBadOrderActionField);
  // The earliest of the investor's orders that the request names.
  const std::size_t none = exchange_.orders().size();
  std::size_t found = none;
  const std::vector<std::size_t>* named = nullptr;
  if (!sysId.empty()) {
    auto it = bySysId_.find(sysId);
    if (it != bySysId_.end()) named = &it->second;
  } else {
    auto it = byRef_.find({input.FrontID, input.SessionID, ref});
    if (it != byRef_.end()) named = &it->second;
  }
  for (std::size_t n = 0; named != nullptr && n < named->size(); ++n) {
    const std::size_t i = (*named)[n];
    const auto& f = exchange_.orders()[i].field;
    if (getText(f.InvestorID) != session.investorId) continue;
    if (!sysId.empty() ? matches(exchange, getText(f.ExchangeID)) : matches(instrumentId, getText(f.InstrumentID))) {
      found = i;
      break;
    }
  }
  if (found == none) return fail(kErrOrderNotFound);
  auto& f = exchange_.orders()[found].field;
  setText(a.OrderSysID, getText(f.OrderSysID));
  setText(a.ExchangeID, getText(f.ExchangeID));
  setText(a.InstrumentID, getText(f.InstrumentID));
  setText(a.OrderRef, getText(f.OrderRef));
  if (f.OrderStatus == THOST_FTDC_OST_AllTraded || f.OrderStatus == THOST_FTDC_OST_Canceled ||
      f.OrderStatus == THOST_FTDC_OST_PartTradedNotQueueing || f.OrderStatus == THOST_FTDC_OST_NoTradeNotQueueing) {
    return fail(kErrUnsuitableOrderStatus);
  }
  end(found, "已撤单", chinaTime());
  setText(f.ActiveUserID, session.userId);
  a.OrderActionStatus = THOST_FTDC_OAS_Accepted;
  out.reports.push_back(f);
  persist(out.reports, {});
  return out;
}

int Broker::maxOrderVolume(const BrokerSession& session, CThostFtdcQueryMaxOrderVolumeField& q) {
  const Account* account = accountOf(session);
  if (account == nullptr) return kErrNotLoggedIn;
  const InstrumentState* ins = instrument(getText(q.InstrumentID));
  if (ins == nullptr) return kErrInstrumentNotFound;
  if (q.Direction != THOST_FTDC_D_Buy && q.Direction != THOST_FTDC_D_Sell) return kErrBadField;
  setText(q.ExchangeID, ins->def.exchangeId);
  if (q.OffsetFlag == THOST_FTDC_OF_Open) {
    const bool buy = q.Direction == THOST_FTDC_D_Buy;
    const double unit = marginOf(ins->def, buy, buy ? ins->upperLimit : ins->lowerLimit, 1);
    constexpr double kMaxVolume = 1e9;  // keeps the conversion to int defined for tiny margins
    q.MaxVolume =
        unit > 0.0 ? static_cast<int>(std::min(kMaxVolume, std::max(0.0, accounts_.available(*account)) / unit)) : 0;
    return kErrNone;
  }
  const Position& p = accounts_.position(session.investorId, ins->def.instrumentId,
                                         q.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
  if (splitsPositionDate(ins->def.exchangeId)) {
    q.MaxVolume = q.OffsetFlag == THOST_FTDC_OF_CloseToday ? p.today - p.todayFrozen : p.yd - p.ydFrozen;
  } else {
    q.MaxVolume = p.yd + p.today - p.ydFrozen - p.todayFrozen;
  }
  return kErrNone;
}

}  // namespace qvsim

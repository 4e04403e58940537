#include "core/broker.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "ThostFtdcUserApiDataType.h"
#include "core/errors.h"
#include "core/fields.h"
#include "core/gb2312.h"

namespace qvsim {

namespace {

constexpr double kPriceEpsilon = 1e-6;
const char kCurrency[] = "CNY";
const char kBankId[] = "1";

// Exchange ids that keep today's and yesterday's positions apart (close-today / close-yesterday).
bool splitsPositionDate(const std::string& exchangeId) { return exchangeId == "SHFE" || exchangeId == "INE"; }

// Market orders are not accepted by these exchanges.
bool refusesMarketOrders(const std::string& exchangeId) { return exchangeId == "SHFE" || exchangeId == "INE"; }

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

long long refNumber(const std::string& ref) {
  const std::string t = trimmed(ref);
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 12) return -1;
  return std::stoll(t);
}

std::string padded(int value, int width) {
  char text[32];
  std::snprintf(text, sizeof(text), "%*d", width, value);
  return text;
}

bool matches(const std::string& filter, const std::string& value) { return filter.empty() || filter == value; }

const char* exchangeName(const std::string& exchangeId) {
  if (exchangeId == "SHFE") return "上海期货交易所";
  if (exchangeId == "INE") return "上海国际能源交易中心";
  if (exchangeId == "DCE") return "大连商品交易所";
  if (exchangeId == "CZCE") return "郑州商品交易所";
  if (exchangeId == "CFFEX") return "中国金融期货交易所";
  return "";
}

}  // namespace


void Broker::load(const Scenario& scenario) {
  scenario_ = scenario;
  instruments_.clear();
  accounts_.clear();
  positions_.clear();
  orders_.clear();
  working_.clear();
  orderRefs_.clear();
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
    const double tick = def.priceTick;
    const double preTicks = std::round(def.preSettlementPrice / tick);
    s.def.preSettlementPrice = preTicks * tick;
    s.upperLimit = std::floor(preTicks * (1.0 + def.limitRatio) + kPriceEpsilon) * tick;
    s.lowerLimit = std::ceil(preTicks * (1.0 - def.limitRatio) - kPriceEpsilon) * tick;
    auto& f = s.field;
    f = zeroRecord<CThostFtdcInstrumentField>();
    setText(f.InstrumentID, def.instrumentId);
    setText(f.ExchangeID, def.exchangeId);
    setText(f.InstrumentName, toGb2312(def.name));
    setText(f.ExchangeInstID, def.instrumentId);
    setText(f.ProductID, def.productId);
    f.ProductClass = def.productClass;
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
    f.LongMarginRatio = def.longMarginRatio;
    f.ShortMarginRatio = def.shortMarginRatio;
    f.MaxMarginSideAlgorithm = THOST_FTDC_MMSA_NO;
    f.UnderlyingMultiple = 1.0;
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
    const double ratio = def.direction == THOST_FTDC_PD_Long ? ins.def.longMarginRatio : ins.def.shortMarginRatio;
    p.margin += ins.def.preSettlementPrice * (def.yesterday + def.today) * ins.def.multiplier * ratio;
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
        const double ratio = def.direction == '0' ? ins.def.longMarginRatio : ins.def.shortMarginRatio;
        entry.frozenMargin = input.LimitPrice * f.VolumeTotal * ins.def.multiplier * ratio;
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

Broker::Account* Broker::findAccount(const std::string& userId) {
  auto it = accounts_.find(userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

const Broker::Account* Broker::accountOf(const BrokerSession& session) const {
  if (!session.loggedIn) return nullptr;
  auto it = accounts_.find(session.userId);
  return it == accounts_.end() ? nullptr : &it->second;
}

Broker::Account& Broker::openAccount(const UserDef& user) {
  Account& a = accounts_[user.userId];
  a.userId = user.userId;
  a.investorId = user.investorId.empty() ? user.userId : user.investorId;
  a.password = user.password;
  a.accountPassword = user.accountPassword.empty() ? user.password : user.accountPassword;
  a.bankPassword = user.bankPassword;
  a.preBalance = user.funds >= 0.0 ? user.funds : scenario_.initialFunds;
  a.bankBalance = user.bankBalance >= 0.0 ? user.bankBalance : scenario_.initialBankBalance;
  return a;
}

Broker::Position& Broker::position(const std::string& investorId, const std::string& instrumentId, char direction) {
  for (Position& p : positions_) {
    if (p.investorId == investorId && p.instrumentId == instrumentId && p.direction == direction) return p;
  }
  Position p;
  p.investorId = investorId;
  p.instrumentId = instrumentId;
  p.direction = direction;
  positions_.push_back(p);
  return positions_.back();
}

double Broker::positionMargin(const Position& p) const { return p.margin; }

double Broker::lastPrice(const std::string& instrumentId) const {
  auto it = views_.find(instrumentId);
  if (it != views_.end() && it->second.known) {
    const double last = it->second.depth.LastPrice;
    if (last > 0.0 && last < 1e300) return last;
  }
  auto stored = storedLast_.find(instrumentId);
  if (stored != storedLast_.end()) return stored->second;
  return instruments_.at(instrumentId).def.preSettlementPrice;
}

double Broker::positionProfit(const Account& a) const {
  double profit = 0.0;
  for (const Position& p : positions_) {
    const int volume = p.yd + p.today;
    if (p.investorId != a.investorId || volume == 0) continue;
    const InstrumentState& ins = instruments_.at(p.instrumentId);
    const double value = lastPrice(p.instrumentId) * volume * ins.def.multiplier;
    profit += p.direction == THOST_FTDC_PD_Long ? value - p.openCost : p.openCost - value;
  }
  return profit;
}

double Broker::commissionOf(const InstrumentState& ins, char offset, bool today, double price, int volume) const {
  const bool closeToday = offset != THOST_FTDC_OF_Open && today;
  const double byVolume = closeToday ? ins.def.closeTodayCommissionByVolume : ins.def.commissionByVolume;
  const double byMoney = closeToday ? ins.def.closeTodayCommissionByMoney : ins.def.commissionByMoney;
  return byVolume * volume + byMoney * price * volume * ins.def.multiplier;
}

void Broker::indexOrder(std::size_t index) {
  const auto& f = orders_[index].field;
  orderRefs_.insert({f.FrontID, f.SessionID, trimmed(getText(f.OrderRef))});
  if (orders_[index].working()) working_[getText(f.InstrumentID)].push_back(index);
}

void Broker::reindexOrders() {
  working_.clear();
  orderRefs_.clear();
  for (std::size_t i = 0; i < orders_.size(); ++i) indexOrder(i);
}

void Broker::compactWorking(const std::string& instrumentId) {
  auto it = working_.find(instrumentId);
  if (it == working_.end()) return;
  std::erase_if(it->second, [&](std::size_t i) { return !orders_[i].working(); });
}

double Broker::frozenOf(const std::string& investorId, bool commission) const {
  double frozen = 0.0;
  for (const auto& [instrument, indexes] : working_) {
    for (std::size_t i : indexes) {
      const OrderEntry& o = orders_[i];
      if (getText(o.field.InvestorID) == investorId) frozen += commission ? o.frozenCommission : o.frozenMargin;
    }
  }
  return frozen;
}

double Broker::availableOf(const Account& a) const {
  double margin = 0.0;
  for (const Position& p : positions_) {
    if (p.investorId == a.investorId) margin += positionMargin(p);
  }
  const double frozen = frozenOf(a.investorId, false) + frozenOf(a.investorId, true);
  return a.preBalance + a.deposit - a.withdraw + a.closeProfit + positionProfit(a) - a.commission - margin - frozen;
}

std::string Broker::nextOrderSysId() { return padded(++lastOrderSysId_, 12); }

int Broker::authenticate(BrokerSession& session, const CThostFtdcReqAuthenticateField& req,
                         CThostFtdcRspAuthenticateField& out) {
  out = zeroRecord<CThostFtdcRspAuthenticateField>();
  setText(out.BrokerID, getText(req.BrokerID));
  setText(out.UserID, getText(req.UserID));
  setText(out.UserProductInfo, getText(req.UserProductInfo));
  setText(out.AppID, getText(req.AppID));
  out.AppType = '1';
  if (getText(req.BrokerID) != scenario_.brokerId) return kErrBrokerNotFound;
  if ((!scenario_.appId.empty() && getText(req.AppID) != scenario_.appId) ||
      (!scenario_.authCode.empty() && getText(req.AuthCode) != scenario_.authCode)) {
    session.authenticated = false;
    return kErrAuthenticationFailed;
  }
  session.authenticated = true;
  session.authenticatedUser = getText(req.UserID);
  return kErrNone;
}

int Broker::login(BrokerSession& session, const CThostFtdcReqUserLoginField& req, CThostFtdcRspUserLoginField& out,
                  const std::string& storePath) {
  const std::string userId = getText(req.UserID);
  const std::string now = chinaTime();
  out = zeroRecord<CThostFtdcRspUserLoginField>();
  setText(out.TradingDay, scenario_.tradingDay);
  setText(out.LoginTime, now);
  setText(out.BrokerID, getText(req.BrokerID));
  setText(out.UserID, userId);
  if (getText(req.BrokerID) != scenario_.brokerId) return kErrInvalidLogin;
  if (scenario_.requireAuthentication && (!session.authenticated || session.authenticatedUser != userId)) {
    return kErrNotAuthenticated;
  }
  if (userId.empty()) return kErrInvalidLogin;
  Account* account = findAccount(userId);
  if (account == nullptr) {
    if (!scenario_.openAccounts) return kErrInvalidLogin;
    // An open broker takes any user: the first login fixes the password and opens the account.
    account = &openAccount(UserDef{userId, getText(req.Password), "", "", "", -1.0, -1.0});
  } else if (account->password.empty()) {
    account->password = getText(req.Password);
    if (account->accountPassword.empty()) account->accountPassword = account->password;
  }
  if (account->password != getText(req.Password)) return kErrInvalidLogin;
  session.loggedIn = true;
  session.userId = userId;
  session.investorId = account->investorId;
  if (!storePath.empty()) attachStore(session, *account, storePath);
  long long maxRef = 0;
  for (const OrderEntry& o : orders_) {
    if (getText(o.field.InvestorID) == account->investorId) maxRef = std::max(maxRef, refNumber(getText(o.field.OrderRef)));
  }
  session.maxOrderRef = std::max(session.maxOrderRef, maxRef);
  setText(out.SystemName, "TradingHosting");
  out.FrontID = session.frontId;
  out.SessionID = session.sessionId;
  setText(out.MaxOrderRef, std::to_string(std::max<long long>(maxRef, 1)));
  setText(out.SHFETime, now);
  setText(out.DCETime, now);
  setText(out.CZCETime, now);
  setText(out.FFEXTime, now);
  setText(out.INETime, now);
  return kErrNone;
}

int Broker::logout(BrokerSession& session, const CThostFtdcUserLogoutField& req) {
  if (!session.loggedIn) return kErrNotLoggedIn;
  if (getText(req.UserID) != session.userId) return kErrInvalidLogin;
  session.loggedIn = false;
  session.authenticated = false;
  return kErrNone;
}

int Broker::confirmSettlement(const BrokerSession& session, CThostFtdcSettlementInfoConfirmField& out) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  if (!account->confirmed) {
    account->confirmed = true;
    account->confirmDate = chinaDate();
    account->confirmTime = chinaTime();
    persistAccount(account->investorId);
  }
  out = settlementConfirms(session).front();
  return kErrNone;
}

int Broker::updateUserPassword(const BrokerSession& session, const CThostFtdcUserPasswordUpdateField& req) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  if (getText(req.UserID) != session.userId) return kErrInvalidLogin;
  if (getText(req.OldPassword) != account->password) return kErrOldPasswordMismatch;
  if (getText(req.NewPassword).empty()) return kErrBadField;
  account->password = getText(req.NewPassword);
  return kErrNone;
}

int Broker::updateAccountPassword(const BrokerSession& session, const CThostFtdcTradingAccountPasswordUpdateField& req) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  if (getText(req.OldPassword) != account->accountPassword) return kErrOldPasswordMismatch;
  if (getText(req.NewPassword).empty()) return kErrBadField;
  account->accountPassword = getText(req.NewPassword);
  return kErrNone;
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

int Broker::checkClose(const InstrumentState& ins, const Position& p, char offset, int volume) const {
  if (splitsPositionDate(ins.def.exchangeId)) {
    if (offset == THOST_FTDC_OF_CloseToday) {
      return p.today - p.todayFrozen >= volume ? kErrNone : kErrOverCloseTodayPosition;
    }
    return p.yd - p.ydFrozen >= volume ? kErrNone : kErrOverCloseYesterdayPosition;
  }
  return (p.yd + p.today - p.ydFrozen - p.todayFrozen) >= volume ? kErrNone : kErrOverClosePosition;
}

OrderOutcome Broker::insertOrder(BrokerSession& session, CThostFtdcInputOrderField& input, int requestId) {
  OrderOutcome out;
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) {
    out.errorId = kErrNotLoggedIn;
    return out;
  }
  const InstrumentState* ins = instrument(getText(input.InstrumentID));
  if (ins == nullptr) {
    out.errorId = kErrInstrumentNotFound;
    return out;
  }
  const char offset = input.CombOffsetFlag[0] == THOST_FTDC_OF_ForceClose ? THOST_FTDC_OF_Close : input.CombOffsetFlag[0];
  const bool market = input.OrderPriceType == THOST_FTDC_OPT_AnyPrice;
  const std::string investor = getText(input.InvestorID);
  const std::string exchange = getText(input.ExchangeID);
  if ((input.Direction != THOST_FTDC_D_Buy && input.Direction != THOST_FTDC_D_Sell) ||
      (offset != THOST_FTDC_OF_Open && offset != THOST_FTDC_OF_Close && offset != THOST_FTDC_OF_CloseToday &&
       offset != THOST_FTDC_OF_CloseYesterday) ||
      (input.OrderPriceType != THOST_FTDC_OPT_AnyPrice && input.OrderPriceType != THOST_FTDC_OPT_LimitPrice) ||
      input.CombHedgeFlag[0] == 0 || input.VolumeTotalOriginal <= 0 ||
      (!market && !(input.LimitPrice > 0.0) && ins->lowerLimit > 0.0) ||
      (!investor.empty() && investor != session.investorId) || (!exchange.empty() && exchange != ins->def.exchangeId)) {
    out.errorId = kErrBadField;
    return out;
  }
  if (!account->confirmed) {
    out.errorId = kErrSettlementNotConfirmed;
    return out;
  }
  std::string ref = getText(input.OrderRef);
  if (ref.empty()) {
    ref = std::to_string(session.maxOrderRef + 1);
    setText(input.OrderRef, ref);
  }
  if (orderRefs_.count({session.frontId, session.sessionId, trimmed(ref)}) != 0) {
    out.errorId = kErrDuplicateOrderRef;
    return out;
  }
  const double price = market ? (input.Direction == THOST_FTDC_D_Buy ? ins->upperLimit : ins->lowerLimit) : input.LimitPrice;
  const int volume = input.VolumeTotalOriginal;
  double margin = 0.0;
  // Frozen at the open or close-today rate, whichever is higher, so a fill never costs more.
  const double commission = std::max(commissionOf(*ins, offset, false, price, volume),
                                     commissionOf(*ins, offset, true, price, volume));
  Position* closing = nullptr;
  if (offset == THOST_FTDC_OF_Open) {
    const double ratio = input.Direction == THOST_FTDC_D_Buy ? ins->def.longMarginRatio : ins->def.shortMarginRatio;
    margin = price * volume * ins->def.multiplier * ratio;
    if (margin + commission > availableOf(*account) + kPriceEpsilon) {
      out.errorId = kErrInsufficientMoney;
      return out;
    }
  } else {
    closing = &position(session.investorId, ins->def.instrumentId,
                        input.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
    out.errorId = checkClose(*ins, *closing, offset, volume);
    if (out.errorId != kErrNone) return out;
  }
  session.maxOrderRef = std::max(session.maxOrderRef, refNumber(ref));

  OrderEntry entry;
  entry.field = makeOrder(session, input, *ins, requestId);
  out.reports.push_back(entry.field);

  // The exchange's own checks: the broker has accepted the order, the exchange refuses it.
  const std::string& ex = ins->def.exchangeId;
  const double ticks = input.LimitPrice / ins->def.priceTick;
  if (market && refusesMarketOrders(ex)) {
    out.exchangeRejection = "不支持市价单";
  } else if (!market && std::fabs(ticks - std::round(ticks)) > kPriceEpsilon) {
    out.exchangeRejection = "报单价格不是最小变动价位的整数倍";
  } else if (!market && (input.LimitPrice > ins->upperLimit + kPriceEpsilon ||
                         input.LimitPrice < ins->lowerLimit - kPriceEpsilon)) {
    out.exchangeRejection = "报单价格超出涨跌停板";
  } else if (market ? (volume > ins->def.maxMarketOrderVolume || volume < ins->def.minMarketOrderVolume)
                    : (volume > ins->def.maxLimitOrderVolume || volume < ins->def.minLimitOrderVolume)) {
    out.exchangeRejection = "报单数量超出限制";
  }
  auto& f = entry.field;
  if (!out.exchangeRejection.empty()) {
    f.OrderSubmitStatus = THOST_FTDC_OSS_InsertRejected;
    f.OrderStatus = THOST_FTDC_OST_Canceled;
    setText(f.CancelTime, chinaTime());
    setText(f.StatusMsg, toGb2312("已撤单报单被拒绝" + ex + ":" + out.exchangeRejection));
  } else {
    setText(f.OrderSysID, nextOrderSysId());
    f.OrderSubmitStatus = THOST_FTDC_OSS_Accepted;
    f.OrderStatus = THOST_FTDC_OST_NoTradeQueueing;
    setText(f.StatusMsg, toGb2312("未成交"));
    entry.frozenMargin = margin;
    entry.frozenCommission = commission;
    if (closing != nullptr) {
      if (splitsPositionDate(ex)) {
        (offset == THOST_FTDC_OF_CloseToday ? entry.frozenToday : entry.frozenYd) = volume;
      } else {
        entry.frozenYd = std::min(volume, closing->yd - closing->ydFrozen);
        entry.frozenToday = volume - entry.frozenYd;
      }
      closing->ydFrozen += entry.frozenYd;
      closing->todayFrozen += entry.frozenToday;
    }
  }
  f.NotifySequence = 1;
  out.reports.push_back(f);
  const bool accepted = out.exchangeRejection.empty();
  orders_.push_back(entry);
  if (accepted) matchNew(orders_.size() - 1, out.followUps);
  indexOrder(orders_.size() - 1);
  persist(out.reports, out.followUps);
  return out;
}

int Broker::maxOrderVolume(const BrokerSession& session, CThostFtdcQueryMaxOrderVolumeField& q) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  const InstrumentState* ins = instrument(getText(q.InstrumentID));
  if (ins == nullptr) return kErrInstrumentNotFound;
  if (q.Direction != THOST_FTDC_D_Buy && q.Direction != THOST_FTDC_D_Sell) return kErrBadField;
  setText(q.ExchangeID, ins->def.exchangeId);
  if (q.OffsetFlag == THOST_FTDC_OF_Open) {
    const bool buy = q.Direction == THOST_FTDC_D_Buy;
    const double unit = (buy ? ins->upperLimit : ins->lowerLimit) * ins->def.multiplier *
                        (buy ? ins->def.longMarginRatio : ins->def.shortMarginRatio);
    constexpr double kMaxVolume = 1e9;  // keeps the conversion to int defined for tiny margins
    q.MaxVolume = unit > 0.0 ? static_cast<int>(std::min(kMaxVolume, std::max(0.0, availableOf(*account)) / unit)) : 0;
    return kErrNone;
  }
  const Position& p = position(session.investorId, ins->def.instrumentId,
                               q.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
  if (splitsPositionDate(ins->def.exchangeId)) {
    q.MaxVolume = q.OffsetFlag == THOST_FTDC_OF_CloseToday ? p.today - p.todayFrozen : p.yd - p.ydFrozen;
  } else {
    q.MaxVolume = p.yd + p.today - p.ydFrozen - p.todayFrozen;
  }
  return kErrNone;
}

void Broker::release(OrderEntry& entry) {
  entry.frozenMargin = 0.0;
  entry.frozenCommission = 0.0;
  if (entry.frozenYd == 0 && entry.frozenToday == 0) return;
  const auto& f = entry.field;
  Position& p = position(getText(f.InvestorID), getText(f.InstrumentID),
                         f.Direction == THOST_FTDC_D_Buy ? THOST_FTDC_PD_Short : THOST_FTDC_PD_Long);
  p.ydFrozen -= entry.frozenYd;
  p.todayFrozen -= entry.frozenToday;
  entry.frozenYd = entry.frozenToday = 0;
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
  OrderEntry* found = nullptr;
  for (OrderEntry& o : orders_) {
    const auto& f = o.field;
    if (getText(f.InvestorID) != session.investorId) continue;
    const bool hit = !sysId.empty()
                         ? trimmed(getText(f.OrderSysID)) == sysId && matches(exchange, getText(f.ExchangeID))
                         : f.FrontID == input.FrontID && f.SessionID == input.SessionID &&
                               trimmed(getText(f.OrderRef)) == ref && matches(instrumentId, getText(f.InstrumentID));
    if (hit) {
      found = &o;
      break;
    }
  }
  if (found == nullptr) return fail(kErrOrderNotFound);
  auto& f = found->field;
  setText(a.OrderSysID, getText(f.OrderSysID));
  setText(a.ExchangeID, getText(f.ExchangeID));
  setText(a.InstrumentID, getText(f.InstrumentID));
  setText(a.OrderRef, getText(f.OrderRef));
  if (f.OrderStatus == THOST_FTDC_OST_AllTraded || f.OrderStatus == THOST_FTDC_OST_Canceled ||
      f.OrderStatus == THOST_FTDC_OST_PartTradedNotQueueing || f.OrderStatus == THOST_FTDC_OST_NoTradeNotQueueing) {
    return fail(kErrUnsuitableOrderStatus);
  }
  release(*found);
  f.OrderStatus = THOST_FTDC_OST_Canceled;
  setText(f.CancelTime, chinaTime());
  setText(f.UpdateTime, chinaTime());
  setText(f.ActiveUserID, session.userId);
  setText(f.StatusMsg, toGb2312("已撤单"));
  f.NotifySequence += 1;
  a.OrderActionStatus = THOST_FTDC_OAS_Accepted;
  out.reports.push_back(f);
  persist(out.reports, {});
  return out;
}

int Broker::transfer(const BrokerSession& session, const CThostFtdcReqTransferField& req, bool toFuture,
                     CThostFtdcRspTransferField& out) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  const double amount = req.TradeAmount;
  if (!(amount > 0.0)) return kErrBadField;
  if (!account->bankPassword.empty() && getText(req.BankPassWord) != account->bankPassword) return kErrBankPasswordMismatch;
  if (getText(req.Password) != account->accountPassword) return kErrAccountPasswordMismatch;
  if (toFuture) {
    if (amount > account->bankBalance + kPriceEpsilon) return kErrBankInsufficientMoney;
    account->bankBalance -= amount;
    account->deposit += amount;
  } else {
    if (amount > availableOf(*account) + kPriceEpsilon) return kErrInsufficientMoney;
    account->bankBalance += amount;
    account->withdraw += amount;
  }
  static_assert(sizeof(CThostFtdcRspTransferField) > sizeof(CThostFtdcReqTransferField));
  out = zeroRecord<CThostFtdcRspTransferField>();
  // The response record begins with every field of the request, in the same order, up to TransferStatus.
  std::memcpy(&out, &req, offsetof(CThostFtdcReqTransferField, LongCustomerName));
  const int serial = ++lastFutureSerial_;
  setText(out.TradeDate, chinaDate());
  setText(out.TradeTime, chinaTime());
  setText(out.BankSerial, std::to_string(serial));
  setText(out.TradingDay, scenario_.tradingDay);
  out.PlateSerial = serial;
  out.SessionID = session.sessionId;
  setText(out.AccountID, session.investorId);
  out.FutureSerial = serial;
  out.TransferStatus = THOST_FTDC_TRFS_Normal;
  out.ErrorID = 0;
  setText(out.ErrorMsg, getText(makeRspInfo(kErrNone).ErrorMsg));
  std::memset(out.Password, 0, sizeof(out.Password));
  std::memset(out.BankPassWord, 0, sizeof(out.BankPassWord));

  auto s = zeroRecord<CThostFtdcTransferSerialField>();
  s.PlateSerial = serial;
  setText(s.TradeDate, getText(out.TradeDate));
  setText(s.TradingDay, scenario_.tradingDay);
  setText(s.TradeTime, getText(out.TradeTime));
  setText(s.TradeCode, getText(req.TradeCode));
  s.SessionID = session.sessionId;
  setText(s.BankID, getText(req.BankID));
  setText(s.BankBranchID, getText(req.BankBranchID));
  setText(s.BankAccount, getText(req.BankAccount));
  setText(s.BankSerial, getText(out.BankSerial));
  setText(s.BrokerID, scenario_.brokerId);
  setText(s.AccountID, session.investorId);
  setText(s.InvestorID, session.investorId);
  s.FutureSerial = serial;
  setText(s.CurrencyID, kCurrency);
  s.TradeAmount = amount;
  s.AvailabilityFlag = '1';
  transfers_.push_back(s);
  persistAccount(account->investorId);
  return kErrNone;
}

int Broker::bankBalance(const BrokerSession& session, const CThostFtdcReqQueryAccountField& req,
                        CThostFtdcNotifyQueryAccountField& out) {
  Account* account = session.loggedIn ? findAccount(session.userId) : nullptr;
  if (account == nullptr) return kErrNotLoggedIn;
  if (!account->bankPassword.empty() && getText(req.BankPassWord) != account->bankPassword) return kErrBankPasswordMismatch;
  if (getText(req.Password) != account->accountPassword) return kErrAccountPasswordMismatch;
  out = zeroRecord<CThostFtdcNotifyQueryAccountField>();
  std::memcpy(&out, &req, offsetof(CThostFtdcReqQueryAccountField, LongCustomerName));
  setText(out.TradeDate, chinaDate());
  setText(out.TradeTime, chinaTime());
  setText(out.TradingDay, scenario_.tradingDay);
  setText(out.AccountID, session.investorId);
  out.SessionID = session.sessionId;
  std::memset(out.Password, 0, sizeof(out.Password));
  std::memset(out.BankPassWord, 0, sizeof(out.BankPassWord));
  out.BankUseAmount = account->bankBalance;
  out.BankFetchAmount = account->bankBalance;
  return kErrNone;
}

std::vector<CThostFtdcOrderField> Broker::orders(const BrokerSession& session, const CThostFtdcQryOrderField& q) const {
  std::vector<CThostFtdcOrderField> out;
  if (!session.loggedIn) return out;
  const std::string start = getText(q.InsertTimeStart);
  const std::string end = getText(q.InsertTimeEnd);
  for (const OrderEntry& o : orders_) {
    const auto& f = o.field;
    if (getText(f.InvestorID) != session.investorId) continue;
    if (!matches(getText(q.InstrumentID), getText(f.InstrumentID)) || !matches(getText(q.ExchangeID), getText(f.ExchangeID))) continue;
    if (!getText(q.OrderSysID).empty() && trimmed(getText(q.OrderSysID)) != trimmed(getText(f.OrderSysID))) continue;
    const std::string t = getText(f.InsertTime);
    if ((!start.empty() && t < start) || (!end.empty() && t > end)) continue;
    out.push_back(f);
  }
  return out;
}

std::vector<CThostFtdcTradeField> Broker::trades(const BrokerSession& session, const CThostFtdcQryTradeField& q) const {
  std::vector<CThostFtdcTradeField> out;
  if (!session.loggedIn) return out;
  const std::string start = getText(q.TradeTimeStart);
  const std::string end = getText(q.TradeTimeEnd);
  for (const auto& t : trades_) {
    if (getText(t.InvestorID) != session.investorId) continue;
    if (!matches(getText(q.InstrumentID), getText(t.InstrumentID)) || !matches(getText(q.ExchangeID), getText(t.ExchangeID))) continue;
    if (!getText(q.TradeID).empty() && trimmed(getText(q.TradeID)) != trimmed(getText(t.TradeID))) continue;
    const std::string time = getText(t.TradeTime);
    if ((!start.empty() && time < start) || (!end.empty() && time > end)) continue;
    out.push_back(t);
  }
  return out;
}

std::vector<CThostFtdcInvestorPositionField> Broker::positions(const BrokerSession& session,
                                                              const CThostFtdcQryInvestorPositionField& q) const {
  std::vector<CThostFtdcInvestorPositionField> out;
  if (!session.loggedIn) return out;
  for (const Position& p : positions_) {
    if (p.investorId != session.investorId || p.yd + p.today == 0) continue;
    const InstrumentState& ins = instruments_.at(p.instrumentId);
    if (!matches(getText(q.InstrumentID), p.instrumentId) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    const double ratio = p.direction == THOST_FTDC_PD_Long ? ins.def.longMarginRatio : ins.def.shortMarginRatio;
    const double unitMargin = p.margin / (p.yd + p.today);
    const double unitCost = p.openCost / (p.yd + p.today);
    const double last = lastPrice(p.instrumentId);
    auto make = [&](char date, int volume, int today, int yd, int frozen) {
      auto r = zeroRecord<CThostFtdcInvestorPositionField>();
      setText(r.InstrumentID, p.instrumentId);
      setText(r.BrokerID, scenario_.brokerId);
      setText(r.InvestorID, p.investorId);
      r.PosiDirection = p.direction;
      r.HedgeFlag = THOST_FTDC_HF_Speculation;
      r.PositionDate = date;
      r.YdPosition = yd;
      r.Position = volume;
      (p.direction == THOST_FTDC_PD_Long ? r.ShortFrozen : r.LongFrozen) = frozen;
      r.PositionCost = unitCost * volume;
      r.PreMargin = unitMargin * yd;
      r.UseMargin = unitMargin * volume;
      r.ExchangeMargin = r.UseMargin;
      r.PreSettlementPrice = ins.def.preSettlementPrice;
      r.SettlementPrice = last;
      const double value = last * volume * ins.def.multiplier;
      r.PositionProfit = p.direction == THOST_FTDC_PD_Long ? value - r.PositionCost : r.PositionCost - value;
      setText(r.TradingDay, scenario_.tradingDay);
      r.SettlementID = 1;
      r.OpenCost = unitCost * volume;
      r.TodayPosition = today;
      r.MarginRateByMoney = ratio;
      setText(r.ExchangeID, ins.def.exchangeId);
      out.push_back(r);
    };
    if (splitsPositionDate(ins.def.exchangeId)) {
      if (p.yd > 0) make(THOST_FTDC_PSD_History, p.yd, 0, p.ydInitial, p.ydFrozen);
      if (p.today > 0) make(THOST_FTDC_PSD_Today, p.today, p.today, 0, p.todayFrozen);
    } else {
      make(THOST_FTDC_PSD_Today, p.yd + p.today, p.today, p.ydInitial, p.ydFrozen + p.todayFrozen);
    }
  }
  return out;
}

CThostFtdcTradingAccountField Broker::account(const BrokerSession& session) const {
  auto r = zeroRecord<CThostFtdcTradingAccountField>();
  const Account* a = accountOf(session);
  if (a == nullptr) return r;
  double margin = 0.0;
  for (const Position& p : positions_) {
    if (p.investorId == a->investorId) margin += positionMargin(p);
  }
  const double frozen = frozenOf(a->investorId, false);
  const double frozenCommission = frozenOf(a->investorId, true);
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.AccountID, a->investorId);
  r.PreBalance = a->preBalance;
  r.PreMargin = margin;
  r.Deposit = a->deposit;
  r.Withdraw = a->withdraw;
  r.FrozenMargin = frozen;
  r.FrozenCommission = frozenCommission;
  r.CurrMargin = margin;
  r.ExchangeMargin = margin;
  r.CloseProfit = a->closeProfit;
  r.PositionProfit = positionProfit(*a);
  r.Commission = a->commission;
  r.Balance = a->preBalance + a->deposit - a->withdraw + r.CloseProfit + r.PositionProfit - r.Commission;
  r.Available = r.Balance - margin - frozen - frozenCommission;
  r.WithdrawQuota = std::max(0.0, r.Available);
  setText(r.TradingDay, scenario_.tradingDay);
  r.SettlementID = 1;
  setText(r.CurrencyID, kCurrency);
  r.BizType = '1';
  return r;
}

std::vector<CThostFtdcInstrumentField> Broker::instrumentRecords(const CThostFtdcQryInstrumentField& q) const {
  std::vector<CThostFtdcInstrumentField> out;
  for (const auto& [id, ins] : instruments_) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId) ||
        !matches(getText(q.ProductID), ins.def.productId) || !matches(getText(q.ExchangeInstID), id)) {
      continue;
    }
    out.push_back(ins.field);
  }
  return out;
}

std::vector<CThostFtdcSettlementInfoField> Broker::settlementInfo(const BrokerSession& session) const {
  std::vector<CThostFtdcSettlementInfoField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  char amounts[160];
  std::snprintf(amounts, sizeof(amounts), "%.2f", a->preBalance);
  const std::string text = toGb2312(std::string("模拟经纪公司 交易结算单\r\n交易日期: ") + scenario_.tradingDay +
                                    "\r\n客户号: " + a->investorId + "\r\n上日结存: " + amounts +
                                    "\r\n本结算单由模拟环境生成。\r\n");
  constexpr std::size_t kChunk = sizeof(CThostFtdcSettlementInfoField::Content) - 1;
  int sequence = 0;
  for (std::size_t at = 0; at < text.size(); at += kChunk) {
    auto r = zeroRecord<CThostFtdcSettlementInfoField>();
    setText(r.TradingDay, scenario_.tradingDay);
    r.SettlementID = 1;
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.SequenceNo = ++sequence;
    setText(r.Content, text.substr(at, kChunk));
    setText(r.AccountID, a->investorId);
    setText(r.CurrencyID, kCurrency);
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcSettlementInfoConfirmField> Broker::settlementConfirms(const BrokerSession& session) const {
  std::vector<CThostFtdcSettlementInfoConfirmField> out;
  const Account* a = accountOf(session);
  if (a == nullptr || !a->confirmed) return out;
  auto r = zeroRecord<CThostFtdcSettlementInfoConfirmField>();
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.InvestorID, a->investorId);
  setText(r.ConfirmDate, a->confirmDate);
  setText(r.ConfirmTime, a->confirmTime);
  r.SettlementID = 1;
  setText(r.AccountID, a->investorId);
  setText(r.CurrencyID, kCurrency);
  out.push_back(r);
  return out;
}

std::vector<CThostFtdcInvestorField> Broker::investors(const BrokerSession& session) const {
  std::vector<CThostFtdcInvestorField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  auto r = zeroRecord<CThostFtdcInvestorField>();
  setText(r.InvestorID, a->investorId);
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.InvestorGroupID, "1");
  setText(r.InvestorName, a->userId);
  r.IdentifiedCardType = '1';
  r.IsActive = 1;
  setText(r.OpenDate, scenario_.tradingDay);
  out.push_back(r);
  return out;
}

std::vector<CThostFtdcTradingCodeField> Broker::tradingCodes(const BrokerSession& session,
                                                           const CThostFtdcQryTradingCodeField& q) const {
  std::vector<CThostFtdcTradingCodeField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const char* ex : {"CFFEX", "CZCE", "DCE", "INE", "SHFE"}) {
    if (!matches(getText(q.ExchangeID), ex)) continue;
    auto r = zeroRecord<CThostFtdcTradingCodeField>();
    setText(r.InvestorID, a->investorId);
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.ExchangeID, ex);
    setText(r.ClientID, a->investorId);
    r.IsActive = 1;
    r.ClientIDType = '1';
    r.BizType = '1';
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcInstrumentMarginRateField> Broker::marginRates(
    const BrokerSession& session, const CThostFtdcQryInstrumentMarginRateField& q) const {
  std::vector<CThostFtdcInstrumentMarginRateField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const auto& [id, ins] : instruments_) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    auto r = zeroRecord<CThostFtdcInstrumentMarginRateField>();
    setText(r.InstrumentID, id);
    r.InvestorRange = '1';
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.HedgeFlag = q.HedgeFlag != 0 ? q.HedgeFlag : THOST_FTDC_HF_Speculation;
    r.LongMarginRatioByMoney = ins.def.longMarginRatio;
    r.ShortMarginRatioByMoney = ins.def.shortMarginRatio;
    setText(r.ExchangeID, ins.def.exchangeId);
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcInstrumentCommissionRateField> Broker::commissionRates(
    const BrokerSession& session, const CThostFtdcQryInstrumentCommissionRateField& q) const {
  std::vector<CThostFtdcInstrumentCommissionRateField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  for (const auto& [id, ins] : instruments_) {
    if (!matches(getText(q.InstrumentID), id) || !matches(getText(q.ExchangeID), ins.def.exchangeId)) continue;
    auto r = zeroRecord<CThostFtdcInstrumentCommissionRateField>();
    setText(r.InstrumentID, id);
    r.InvestorRange = '1';
    setText(r.BrokerID, scenario_.brokerId);
    setText(r.InvestorID, a->investorId);
    r.OpenRatioByMoney = ins.def.commissionByMoney;
    r.OpenRatioByVolume = ins.def.commissionByVolume;
    r.CloseRatioByMoney = ins.def.commissionByMoney;
    r.CloseRatioByVolume = ins.def.commissionByVolume;
    r.CloseTodayRatioByMoney = ins.def.closeTodayCommissionByMoney;
    r.CloseTodayRatioByVolume = ins.def.closeTodayCommissionByVolume;
    setText(r.ExchangeID, ins.def.exchangeId);
    r.BizType = '1';
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcExchangeField> Broker::exchanges(const CThostFtdcQryExchangeField& q) const {
  std::vector<CThostFtdcExchangeField> out;
  for (const char* ex : {"CFFEX", "CZCE", "DCE", "INE", "SHFE"}) {
    if (!matches(getText(q.ExchangeID), ex)) continue;
    auto r = zeroRecord<CThostFtdcExchangeField>();
    setText(r.ExchangeID, ex);
    setText(r.ExchangeName, toGb2312(exchangeName(ex)));
    r.ExchangeProperty = '0';
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcProductField> Broker::products(const CThostFtdcQryProductField& q) const {
  std::vector<CThostFtdcProductField> out;
  std::set<std::string> seen;
  for (const auto& [id, ins] : instruments_) {
    const auto& s = ins.def;
    if (!matches(getText(q.ProductID), s.productId) || !matches(getText(q.ExchangeID), s.exchangeId)) continue;
    if (q.ProductClass != 0 && q.ProductClass != s.productClass) continue;
    if (!seen.insert(s.exchangeId + "." + s.productId).second) continue;
    auto r = zeroRecord<CThostFtdcProductField>();
    setText(r.ProductID, s.productId);
    setText(r.ProductName, s.productId);
    setText(r.ExchangeID, s.exchangeId);
    r.ProductClass = s.productClass;
    r.VolumeMultiple = s.multiplier;
    r.PriceTick = s.priceTick;
    r.MaxMarketOrderVolume = s.maxMarketOrderVolume;
    r.MinMarketOrderVolume = s.minMarketOrderVolume;
    r.MaxLimitOrderVolume = s.maxLimitOrderVolume;
    r.MinLimitOrderVolume = s.minLimitOrderVolume;
    r.PositionType = THOST_FTDC_PT_Gross;
    r.PositionDateType = splitsPositionDate(s.exchangeId) ? THOST_FTDC_PDT_UseHistory : THOST_FTDC_PDT_NoUseHistory;
    r.CloseDealType = '0';
    setText(r.TradeCurrencyID, kCurrency);
    r.MortgageFundUseRange = '0';
    r.UnderlyingMultiple = 1.0;
    out.push_back(r);
  }
  return out;
}

std::vector<CThostFtdcTransferSerialField> Broker::transferSerials(const BrokerSession& session) const {
  std::vector<CThostFtdcTransferSerialField> out;
  if (!session.loggedIn) return out;
  for (const auto& s : transfers_) {
    if (getText(s.InvestorID) == session.investorId) out.push_back(s);
  }
  return out;
}

std::vector<CThostFtdcContractBankField> Broker::contractBanks() const {
  auto r = zeroRecord<CThostFtdcContractBankField>();
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.BankID, kBankId);
  setText(r.BankBrchID, "0000");
  setText(r.BankName, toGb2312("模拟银行"));
  return {r};
}

std::vector<CThostFtdcAccountregisterField> Broker::accountRegisters(const BrokerSession& session) const {
  std::vector<CThostFtdcAccountregisterField> out;
  const Account* a = accountOf(session);
  if (a == nullptr) return out;
  auto r = zeroRecord<CThostFtdcAccountregisterField>();
  setText(r.TradeDay, scenario_.tradingDay);
  setText(r.BankID, kBankId);
  setText(r.BankBranchID, "0000");
  setText(r.BankAccount, "6200000000" + a->investorId);
  setText(r.BrokerID, scenario_.brokerId);
  setText(r.AccountID, a->investorId);
  r.IdCardType = '1';
  setText(r.CustomerName, a->userId);
  setText(r.CurrencyID, kCurrency);
  r.OpenOrDestroy = '1';
  setText(r.RegDate, scenario_.tradingDay);
  r.CustType = '0';
  r.BankAccType = '1';
  out.push_back(r);
  return out;
}

}  // namespace qvsim

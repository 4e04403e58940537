// Transfers between the futures account and the simulated bank, the bank balance and the
// records of both. Called under the world lock, like every Broker method.
#include <cstddef>
#include <cstring>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/errors.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

int Broker::transfer(const BrokerSession& session, const CThostFtdcReqTransferField& req, bool toFuture,
                     CThostFtdcRspTransferField& out) {
  Account* account = accountOf(session);
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
    if (amount > accounts_.available(*account) + kPriceEpsilon) return kErrInsufficientMoney;
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
  Account* account = accountOf(session);
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

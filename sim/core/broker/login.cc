// Connecting to the broker: authentication, login and logout, the settlement confirmation and
// password changes. Called under the world lock, like every Broker method.
#include <algorithm>
#include <string>

#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/broker/errors.h"
#include "core/exchange/exchange_rules.h"
#include "core/text/fields.h"

namespace qvsim {

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
  Account* account = accounts_.find(userId);
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
  for (const WorkingOrder& o : exchange_.orders()) {
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
  Account* account = accountOf(session);
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
  Account* account = accountOf(session);
  if (account == nullptr) return kErrNotLoggedIn;
  if (getText(req.UserID) != session.userId) return kErrInvalidLogin;
  if (getText(req.OldPassword) != account->password) return kErrOldPasswordMismatch;
  if (getText(req.NewPassword).empty()) return kErrBadField;
  account->password = getText(req.NewPassword);
  return kErrNone;
}

int Broker::updateAccountPassword(const BrokerSession& session, const CThostFtdcTradingAccountPasswordUpdateField& req) {
  Account* account = accountOf(session);
  if (account == nullptr) return kErrNotLoggedIn;
  if (getText(req.OldPassword) != account->accountPassword) return kErrOldPasswordMismatch;
  if (getText(req.NewPassword).empty()) return kErrBadField;
  account->accountPassword = getText(req.NewPassword);
  return kErrNone;
}

}  // namespace qvsim

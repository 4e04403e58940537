// The broker's error ids and their texts, as a CTP front reports them (ErrorID plus a GB2312
// ErrorMsg beginning "CTP:"). Stateless; any thread.
#pragma once

#include <string_view>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

enum ErrorId : int {
  kErrNone = 0,
  kErrInvalidLogin = 3,
  kErrNotLoggedIn = 6,
  kErrBrokerNotFound = 12,
  kErrOldPasswordMismatch = 14,
  kErrBadField = 15,
  kErrInstrumentNotFound = 16,
  kErrDuplicateOrderRef = 22,
  kErrBadOrderActionField = 23,
  kErrOrderNotFound = 25,
  kErrUnsuitableOrderStatus = 26,
  kErrUnsupportedFunction = 27,
  kErrOverClosePosition = 30,
  kErrInsufficientMoney = 31,
  kErrSettlementNotConfirmed = 42,
  kErrOverCloseTodayPosition = 50,
  kErrOverCloseYesterdayPosition = 51,
  kErrAuthenticationFailed = 63,
  kErrNotAuthenticated = 64,
  kErrBankPasswordMismatch = 65,
  kErrAccountPasswordMismatch = 66,
  kErrBankInsufficientMoney = 67,
};

// The UTF-8 text of an error id ("CTP:..."); "CTP:错误" for ids not in the table.
std::string_view errorTextUtf8(int id);

// A response info with the id and its GB2312 text; id 0 gives ErrorID 0 and "CTP:正确".
CThostFtdcRspInfoField makeRspInfo(int id);

}  // namespace qvsim

#include "core/broker/errors.h"

#include "core/text/fields.h"
#include "core/text/gb2312.h"

namespace qvsim {

std::string_view errorTextUtf8(int id) {
  switch (id) {
    case kErrNone: return "CTP:正确";
    case kErrInvalidLogin: return "CTP:不合法的登录";
    case kErrNotLoggedIn: return "CTP:还没有登录";
    case kErrBrokerNotFound: return "CTP:找不到该经纪公司";
    case kErrOldPasswordMismatch: return "CTP:原口令不匹配";
    case kErrBadField: return "CTP:报单字段有误";
    case kErrInstrumentNotFound: return "CTP:找不到合约";
    case kErrDuplicateOrderRef: return "CTP:报单错误：不允许重复报单";
    case kErrBadOrderActionField: return "CTP:错误的报单操作字段";
    case kErrOrderNotFound: return "CTP:撤单找不到相应报单";
    case kErrUnsuitableOrderStatus: return "CTP:报单已全成交或已撤销，不能再撤";
    case kErrUnsupportedFunction: return "CTP:不支持的功能";
    case kErrOverClosePosition: return "CTP:平仓量超过持仓量";
    case kErrInsufficientMoney: return "CTP:资金不足";
    case kErrSettlementNotConfirmed: return "CTP:结算结果未确认";
    case kErrOverCloseTodayPosition: return "CTP:平今仓位不足";
    case kErrOverCloseYesterdayPosition: return "CTP:平昨仓位不足";
    case kErrAuthenticationFailed: return "CTP:客户端认证失败";
    case kErrNotAuthenticated: return "CTP:客户端未认证";
    case kErrBankPasswordMismatch: return "CTP:银行密码错误";
    case kErrAccountPasswordMismatch: return "CTP:资金密码错误";
    case kErrBankInsufficientMoney: return "CTP:银行账户余额不足";
    default: return "CTP:错误";
  }
}

CThostFtdcRspInfoField makeRspInfo(int id) {
  auto info = zeroRecord<CThostFtdcRspInfoField>();
  info.ErrorID = id;
  setText(info.ErrorMsg, toGb2312(errorTextUtf8(id)));
  return info;
}

}  // namespace qvsim

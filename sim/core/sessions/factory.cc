#include "core/sessions/factory.h"

#include <new>

#include "core/sessions/md_session.h"
#include "core/sessions/trader_session.h"

namespace qvsim {

CThostFtdcTraderApi* createTraderApi(const char* flowPath) {
  return new (std::nothrow) SimTraderApi(flowPath);
}

CThostFtdcMdApi* createMdApi(const char* /*flowPath*/) { return new (std::nothrow) SimMdApi(); }

}  // namespace qvsim

#include "core/factory.h"

#include <new>

#include "core/md_session.h"
#include "core/trader_session.h"

namespace qvsim {

CThostFtdcTraderApi* createTraderApi(const char* flowPath) {
  return new (std::nothrow) SimTraderApi(flowPath);
}

CThostFtdcMdApi* createMdApi(const char* /*flowPath*/) { return new (std::nothrow) SimMdApi(); }

}  // namespace qvsim

// The vendor's trader library entry points, backed by the simulated broker in libquorvanesim.so.
#include "ThostFtdcTraderApi.h"
#include "core/sessions/factory.h"

CThostFtdcTraderApi* CThostFtdcTraderApi::CreateFtdcTraderApi(const char* pszFlowPath) {
  return qvsim::createTraderApi(pszFlowPath);
}

const char* CThostFtdcTraderApi::GetApiVersion() { return "v6.3.15_20190220 stand-in"; }

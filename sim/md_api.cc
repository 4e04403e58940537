// The vendor's market-data library entry points, backed by the simulated market in libquorvanesim.so.
#include "ThostFtdcMdApi.h"
#include "core/sessions/factory.h"

CThostFtdcMdApi* CThostFtdcMdApi::CreateFtdcMdApi(const char* pszFlowPath, const bool /*bIsUsingUdp*/,
                                                  const bool /*bIsMulticast*/) {
  return qvsim::createMdApi(pszFlowPath);
}

const char* CThostFtdcMdApi::GetApiVersion() { return "v6.3.15_20190220 stand-in"; }

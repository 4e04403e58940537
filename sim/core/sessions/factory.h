// Creation of the stand-in API objects, called by CThostFtdcTraderApi::CreateFtdcTraderApi and
// CThostFtdcMdApi::CreateFtdcMdApi in the two vendor-named libraries. Any thread.
#pragma once

#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"

namespace qvsim {

__attribute__((visibility("default"))) CThostFtdcTraderApi* createTraderApi(const char* flowPath);
__attribute__((visibility("default"))) CThostFtdcMdApi* createMdApi(const char* flowPath);

}  // namespace qvsim

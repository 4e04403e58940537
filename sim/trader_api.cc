#include "ThostFtdcTraderApi.h"

CThostFtdcTraderApi* CThostFtdcTraderApi::CreateFtdcTraderApi(const char*) { return nullptr; }
const char* CThostFtdcTraderApi::GetApiVersion() { return "v6.3.15_20190220 stand-in"; }

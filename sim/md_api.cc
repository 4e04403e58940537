#include "ThostFtdcMdApi.h"

CThostFtdcMdApi* CThostFtdcMdApi::CreateFtdcMdApi(const char*, const bool, const bool) { return nullptr; }
const char* CThostFtdcMdApi::GetApiVersion() { return "v6.3.15_20190220 stand-in"; }

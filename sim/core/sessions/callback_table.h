// The callbacks of CThostFtdcTraderSpi and CThostFtdcMdSpi by name, so that the control surface
// can deliver any of them with a record given as bytes. Built once; read-only afterwards; any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

struct CallbackArgs {
  void* record = nullptr;  // null passes a null record pointer
  CThostFtdcRspInfoField* info = nullptr;
  int requestId = 0;
  bool isLast = true;
  int number = 0;  // the int argument of OnFrontDisconnected and OnHeartBeatWarning
};

struct CallbackEntry {
  std::size_t recordSize = 0;  // 0 for callbacks without a record
  std::function<void(void* spi, CallbackArgs& args)> invoke;
};

// Null when the name is not a callback of that interface. The entries of traderCallback take a
// CThostFtdcTraderSpi* as spi, those of mdCallback a CThostFtdcMdSpi*.
const CallbackEntry* traderCallback(const std::string& name);
const CallbackEntry* mdCallback(const std::string& name);

}  // namespace qvsim

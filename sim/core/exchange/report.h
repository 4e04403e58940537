// Report: one message the exchange sends an investor, an order's new state or a trade. Reports of
// one investor go to every logged-in trader object of that investor, in the order they were made
// (the fan-out is the world's, core/world/world.h). Plain values; copied freely.
#pragma once

#include <string>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

struct Report {
  std::string investorId;
  bool isTrade = false;
  CThostFtdcOrderField order{};
  CThostFtdcTradeField trade{};
};

}  // namespace qvsim

// Report: one message the exchange sends, an order's new state or a trade for an investor, or an
// instrument status for everyone. Reports of one investor go to every logged-in trader object of
// that investor, statuses to every logged-in trader object, in the order they were made (the
// fan-out is the world's, core/world/world.h). Plain values; copied freely.
#pragma once

#include <string>

#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

struct Report {
  std::string investorId;
  bool isTrade = false;
  bool isStatus = false;  // an instrument status; investorId is empty
  CThostFtdcOrderField order{};
  CThostFtdcTradeField trade{};
  CThostFtdcInstrumentStatusField status{};
};

}  // namespace qvsim

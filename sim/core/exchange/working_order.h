// WorkingOrder: an order as the simulated exchange keeps it, its record and, while it works, its
// place in its instrument's price book and the displayed volume queued ahead of it. Its number is
// its place in the exchange's day (core/exchange/exchange.h), which never changes while the day
// lasts; the broker keeps what the order holds of the investor's money beside it under the same
// number (core/broker/accounts.h). Plain values, under the world lock.
#pragma once

#include <cstddef>

#include "ThostFtdcUserApiDataType.h"
#include "ThostFtdcUserApiStruct.h"

namespace qvsim {

class PriceBook;

struct WorkingOrder {
  CThostFtdcOrderField field{};
  long long queueAhead = 0;   // displayed volume ahead of the order at its price
  int party = 0;              // its investor's number in the price books, where it never meets itself
  PriceBook* book = nullptr;  // the book it rests in, while it does
  bool working() const {
    return field.OrderStatus == THOST_FTDC_OST_NoTradeQueueing || field.OrderStatus == THOST_FTDC_OST_PartTradedQueueing;
  }
};

}  // namespace qvsim

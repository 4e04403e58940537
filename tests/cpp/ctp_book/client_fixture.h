// CtpClientTest: a CtpTraderClient on the stand-in library, connected (state '3') and with a
// native recorder in its response slot, for tests of the order book's and the transfers' CTP side.
// The stand-in holds back its own answers to transfer requests, so only the test's returns arrive.
// Callbacks may be called directly (as the library's thread would) or delivered through qvsim.
#ifndef QV_TESTS_CTP_BOOK_CLIENT_FIXTURE_H
#define QV_TESTS_CTP_BOOK_CLIENT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ctp/ctp_trader_client.h"

namespace qv_test {

struct Response {
  int32_t eventId;
  const void* record;
  bool isLast;
  int32_t errorId;
  std::string message;
};

// A further client on the stand-in, with the recorder in its response slot; never destroyed.
qv::CtpTraderClient* keptClient(uint16_t clientIndex, const char* userId, const char* accountId);

class CtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Responses recorded so far with this event id.
  static std::vector<Response> responses(int32_t eventId);
  // Polls `done` for up to two seconds; its last answer.
  static bool waitFor(const std::function<bool()>& done);

  qv::CtpTraderClient* client_ = nullptr;
};

}  // namespace qv_test

#endif  // QV_TESTS_CTP_BOOK_CLIENT_FIXTURE_H

// Start-up as init runs it: validation in order, the flow directories and their piece rule, the
// client factories, the two connection waits and the registry that returns the first client of a
// user type. Each test works in its own temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "../trading/fake_clients.h"
#include "api/client_registry.h"
#include "api/directory_maker.h"
#include "api/exports.h"
#include "api/run_loop.h"
#include "api/startup.h"
#include "base/clock.h"
#include "base/text.h"
#include "trading/client_factory.h"

namespace qv::api {
namespace {

namespace fs = std::filesystem;
using testing::FakeMdClient;
using testing::FakeTraderClient;

// What the fake factories do: the state a new trading client reports, and whether building the
// market-data client drops the trading front again.
char connectState = kStateConnected;
bool mdDropsFront = false;
FakeTraderClient* lastTrader = nullptr;
int mdBuilt = 0;

TraderClient* makeTrader(uint16_t index, const CQVLoginField& login, HostObject, HostObject,
                         HostObject) {
  lastTrader = new FakeTraderClient(index, &login);
  lastTrader->exchangeSessionState(connectState);
  return lastTrader;
}

MdClient* makeMd(const CQVLoginField* login, HostObject, HostObject, HostObject) {
  ++mdBuilt;
  if (mdDropsFront) lastTrader->exchangeSessionState(kStateDisconnected);
  return new FakeMdClient(login);
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qv-startup-XXXXXX";
    root = ::mkdtemp(pattern);
    previous = fs::current_path();
    fs::current_path(root);
    connectState = kStateConnected;
    mdDropsFront = false;
    registerClientFactories(&makeTrader, &makeMd);
  }
  void TearDown() override {
    fs::current_path(previous);
    fs::remove_all(root);
  }

  static CQVLoginField login(int32_t userType, const char* userId = "u1") {
    CQVLoginField record{};
    record.UserType = userType;
    copyText(record.UserID, userId);
    copyText(record.MdFront, "tcp://md");
    copyText(record.BrokerID, "b");
    copyText(record.AppID, "a");
    copyText(record.AuthCode, "c");
    return record;
  }
  TraderClient* start(CQVLoginField* record, uint16_t index = 1) {
    return ::init(index, record, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  std::string root;
  fs::path previous;
};

TEST_F(Startup, ValidationStopsAtTheFirstFailureInOrder) {
  EXPECT_EQ(start(nullptr), nullptr);
  EXPECT_EQ(::getInitError(), -1000300);

  CQVLoginField record = login(20002);
  EXPECT_EQ(start(&record, 100), nullptr);
  EXPECT_EQ(::getInitError(), -1000200);

  record = login(10001, "");
  record.UserType = 30001;
  record.MdFront[0] = '\0';
  EXPECT_EQ(validateLogin(record), -1000500);
  copyText(record.UserID, "u1");
  EXPECT_EQ(validateLogin(record), -1000700);
  record.UserType = 10001;
  EXPECT_EQ(validateLogin(record), -1000900);
  copyText(record.MdFront, "tcp://md");
  record.BrokerID[0] = record.AppID[0] = record.AuthCode[0] = '\0';
  EXPECT_EQ(validateLogin(record), -1001100);
  copyText(record.BrokerID, "b");
  EXPECT_EQ(validateLogin(record), -1001200);
  copyText(record.AppID, "a");
  EXPECT_EQ(validateLogin(record), -1001300);

  record.UserType = 20001;  // no credentials needed
  record.AppID[0] = '\0';
  EXPECT_EQ(validateLogin(record), 0);
  for (int32_t type : {10000, 10005, 20000, 20006}) {
    record.UserType = type;
    EXPECT_EQ(validateLogin(record), -1000700) << type;
  }
}

TEST_F(Startup, UserTypesThatPassValidationButBuildNothingFailAfterTheDirectories) {
  CQVLoginField record = login(10002);
  record.BrokerID[0] = '\0';  // not checked for 10002
  EXPECT_EQ(start(&record, 99), nullptr);
  EXPECT_EQ(::getInitError(), -1000700);
  EXPECT_TRUE(isDirectory("u1/TDFlow"));
  EXPECT_TRUE(isDirectory("u1/MDFlow"));
}

TEST_F(Startup, FlowDirectoriesFollowThePieceRule) {
  CQVLoginField record = login(20003);
  copyText(record.BasePath, "a\\b//c");
  EXPECT_EQ(start(&record), nullptr);
  EXPECT_TRUE(isDirectory("a/b/c/u1/TDFlow"));
  EXPECT_TRUE(isDirectory("a/b/c/u1/MDFlow"));

  EXPECT_TRUE(makeDirectories("C:\\flows"));
  EXPECT_TRUE(isDirectory("C:/flows"));
  EXPECT_TRUE(makeDirectories(root + "//abs\\x"));  // an absolute path stays absolute
  EXPECT_TRUE(isDirectory(root + "/abs/x"));
  EXPECT_FALSE(isDirectory("tmp"));

  std::FILE* file = std::fopen("blocked", "w");
  std::fclose(file);
  copyText(record.BasePath, "blocked");
  EXPECT_EQ(start(&record), nullptr);
  EXPECT_EQ(::getInitError(), -1001000);
}

TEST_F(Startup, TradingFrontThatNeverConnectsTimesOut) {
  connectState = kStateCreated;
  CQVLoginField record = login(20005, "slow");
  record.ConnectTimeout = 200000;
  int64_t began = nowMicros();
  EXPECT_EQ(start(&record), nullptr);
  EXPECT_EQ(::getInitError(), -1001500);
  EXPECT_GE(nowMicros() - began, 200000);
}

TEST_F(Startup, FrontLostWhileMarketDataIsBuiltTimesOut) {
  mdDropsFront = true;
  CQVLoginField record = login(20005, "drop");
  record.ConnectTimeout = 100000;
  EXPECT_EQ(start(&record), nullptr);
  EXPECT_EQ(::getInitError(), -1001800);
}

TEST_F(Startup, NoFactoryBuildsNothing) {
  registerClientFactories(nullptr, nullptr);
  CQVLoginField record = login(20005);
  EXPECT_EQ(start(&record), nullptr);
  EXPECT_EQ(::getInitError(), -1000700);
}

// The registry is process-wide, so one test walks its whole story: clients registered in order,
// a second init of a user type returning the first client, exitX on one client or on all.
TEST_F(Startup, RegistryKeepsTheFirstClientOfAUserTypeInOrder) {
  CQVLoginField first = login(20005, "one");
  first.ConnectTimeout = 1000000;
  int mdBefore = mdBuilt;
  TraderClient* one = start(&first, 3);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(::getInitError(), 0);
  EXPECT_EQ(mdBuilt, mdBefore + 1);
  ASSERT_NE(one->mdClient(), nullptr);
  EXPECT_EQ(one->mdClient()->taskQueue(), &one->taskQueue());
  EXPECT_EQ(&one->mdClient()->loginRecord(), &one->login());
  EXPECT_EQ(one->orderIdMin(), 3000000);

  CQVLoginField other = login(20005, "someone-else");
  EXPECT_EQ(start(&other, 7), one);
  EXPECT_EQ(::getInitError(), 0);
  EXPECT_EQ(mdBuilt, mdBefore + 1);

  CQVLoginField second = login(20001, "two");
  TraderClient* two = start(&second);
  CQVLoginField third = login(10001, "three");
  TraderClient* three = start(&third);
  ASSERT_NE(two, nullptr);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(clientRegistry().clients(), (std::vector<TraderClient*>{one, two, three}));

  ::exitX(two);
  EXPECT_EQ(two->sessionState(), kStateStopped);
  EXPECT_EQ(one->sessionState(), kStateConnected);
  ::exitX(nullptr);
  EXPECT_EQ(one->sessionState(), kStateStopped);
  EXPECT_EQ(three->sessionState(), kStateStopped);
}

}  // namespace
}  // namespace qv::api

// The command table against the recording trader API: for every task id, the request that goes
// out and every byte of its record. Records are read field by field through the CTP layout table,
// and every field a row does not name must be zero.
#include "tasks/query_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/recording_trader_api.h"

namespace {

using qv::Task;
using qv_test::RecordedCall;
using qv_test::RecordingTraderApi;

struct LayoutField {
  std::string name;
  std::string base;  // char, int, double, short
  bool array;
  size_t offset;
  size_t size;
};
struct Layout {
  size_t size = 0;
  std::vector<LayoutField> fields;
};

const std::map<std::string, Layout>& layouts() {
  static const std::map<std::string, Layout> table = [] {
    std::map<std::string, Layout> out;
    std::ifstream in(QV_CTP_LAYOUT_TSV);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::vector<std::string> cells;
      std::stringstream row(line);
      std::string cell;
      while (std::getline(row, cell, '\t')) cells.push_back(cell);
      if (cells.size() < 7) continue;
      if (cells[2] == "struct") {
        out[cells[0]].size = std::stoul(cells[6]);
      } else {
        out[cells[0]].fields.push_back(
            {cells[1], cells[3], !cells[4].empty(), std::stoul(cells[5]), std::stoul(cells[6])});
      }
    }
    return out;
  }();
  return table;
}

// Checks a recorded request record: the fields in `expected` ("Field=value ..." with text, one
// character or a decimal) hold those values, every other byte of every other field is zero.
void expectRecord(const RecordedCall& call, const std::string& recordType, const std::string& expected) {
  auto layout = layouts().find(recordType);
  ASSERT_NE(layout, layouts().end()) << recordType;
  ASSERT_EQ(call.bytes.size(), layout->second.size);
  std::map<std::string, std::string> want;
  std::stringstream in(expected);
  std::string item;
  while (in >> item) want[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);

  for (const LayoutField& f : layout->second.fields) {
    const unsigned char* p = call.bytes.data() + f.offset;
    auto it = want.find(f.name);
    if (it == want.end()) {
      EXPECT_EQ(std::vector<unsigned char>(p, p + f.size), std::vector<unsigned char>(f.size, 0))
          << recordType << "." << f.name << " should be empty";
      continue;
    }
    if (f.base == "char" && f.array) {
      const char* text = reinterpret_cast<const char*>(p);
      const size_t n = strnlen(text, f.size);
      ASSERT_LT(n, f.size) << f.name << " is unterminated";
      EXPECT_EQ(std::string(text, n), it->second) << recordType << "." << f.name;
      EXPECT_EQ(std::vector<unsigned char>(p + n, p + f.size), std::vector<unsigned char>(f.size - n, 0))
          << f.name << " has bytes after its terminator";
    } else if (f.base == "char") {
      EXPECT_EQ(std::string(1, static_cast<char>(*p)), it->second) << recordType << "." << f.name;
    } else if (f.base == "double") {
      double v;
      std::memcpy(&v, p, sizeof v);
      EXPECT_EQ(v, std::stod(it->second)) << recordType << "." << f.name;
    } else if (f.base == "int") {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      EXPECT_EQ(v, std::stoi(it->second)) << recordType << "." << f.name;
    } else {
      ADD_FAILURE() << "no check for " << f.name << " of type " << f.base;
    }
    want.erase(it);
  }
  for (const auto& [name, value] : want) ADD_FAILURE() << recordType << " has no field " << name;
}

class QueryCommandsTest : public ::testing::Test {
 protected:
  QueryCommandsTest() {
    qv::copyText(login.BrokerID, "9999");
    qv::copyText(login.UserID, "u001");
    qv::copyText(login.Password, "pw");
    qv::copyText(login.InvestorID, "inv01");
    qv::copyText(login.AccountID, "acc01");
    qv::copyText(login.AppID, "app");
    qv::copyText(login.AuthCode, "auth");
    qv::copyText(login.MacAddress, "mac");
    qv::copyText(login.OuterIPAddress, "1.2.3.4");
    qv::copyText(command.ExchangeID, "SHFE");
    qv::copyText(command.StandardID, "rb2405");
    qv::copyText(command.BusinessID, "biz7");
    qv::copyText(command.CombineBusinessFlag, "3x");
    command.Price = 3.5;
    qv::copyText(command.StartTime, "09:00:00");
    qv::copyText(command.EndTime, "10:00:00");
    qv::copyText(command.StartDate, "20260102");
    qv::copyText(command.EndDate, "20260103");
    qv::copyText(command.BankID, "01");
    qv::copyText(command.BankPassword, "bpw");
    qv::copyText(command.AccountPassword, "apw");
  }

  qv::CommandContext context() { return {&api, &login, &counter, nullptr}; }
  Task task(int32_t taskId) {
    Task t{};
    t.taskId = taskId;
    t.command = command;
    return t;
  }

  RecordingTraderApi api;
  CQVLoginField login{};
  CQVQueryCommandField command{};
  std::atomic<int32_t> counter{0};
};

struct CatalogueRow {
  int32_t taskId;
  const char* request;
  const char* record;
  const char* fields;
};

// Login: BrokerID 9999, UserID u001, InvestorID inv01, AccountID acc01. Command: ExchangeID SHFE,
// StandardID rb2405, BusinessID biz7, CombineBusinessFlag 3x, Price 3.5, StartTime 09:00:00,
// EndTime 10:00:00, StartDate 20260102, BankID 01, BankPassword bpw, AccountPassword apw.
const CatalogueRow kCatalogue[] = {
    {35, "ReqUserLogout", "CThostFtdcUserLogoutField", "BrokerID=9999 UserID=u001"},
    {36, "ReqQueryBankAccountMoneyByFuture", "CThostFtdcReqQueryAccountField",
     "TradeCode=204002 BankID=01 BankBranchID=0000 BrokerID=9999 BankPassWord=bpw AccountID=acc01 Password=apw "
     "UserID=u001 VerifyCertNoFlag=1 CurrencyID=CNY BankPwdFlag=0 SecuPwdFlag=1 RequestID=2"},
    {11101, "ReqUserLogin", "CThostFtdcReqUserLoginField",
     "BrokerID=9999 UserID=u001 Password=pw MacAddress=mac ClientIPAddress=1.2.3.4"},
    {11103, "ReqAuthenticate", "CThostFtdcReqAuthenticateField", "BrokerID=9999 UserID=u001 AuthCode=auth AppID=app"},
    {11104, "ReqSettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField",
     "BrokerID=9999 InvestorID=inv01 CurrencyID=CNY"},
    {11201, "ReqQrySettlementInfo", "CThostFtdcQrySettlementInfoField",
     "BrokerID=9999 InvestorID=inv01 AccountID=acc01 CurrencyID=CNY TradingDay=20260102"},
    {11202, "ReqQryOrder", "CThostFtdcQryOrderField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE OrderSysID=biz7 InsertTimeStart=09:00:00 "
     "InsertTimeEnd=10:00:00"},
    {11203, "ReqQryInstrumentOrderCommRate", "CThostFtdcQryInstrumentOrderCommRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405"},
    {11204, "ReqQryTrade", "CThostFtdcQryTradeField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE TradeID=biz7 TradeTimeStart=09:00:00 "
     "TradeTimeEnd=10:00:00"},
    {11205, "ReqQryInvestorPosition", "CThostFtdcQryInvestorPositionField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE"},
    {11206, "ReqQryInvestorPositionDetail", "CThostFtdcQryInvestorPositionDetailField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE"},
    {11207, "ReqQryTradingAccount", "CThostFtdcQryTradingAccountField",
     "BrokerID=9999 InvestorID=inv01 AccountID=acc01 CurrencyID=CNY"},
    {11208, "ReqQueryBankAccountMoneyByFuture", "CThostFtdcReqQueryAccountField",
     "TradeCode=204002 BankID=01 BankBranchID=0000 BrokerID=9999 BankPassWord=bpw AccountID=acc01 Password=apw "
     "UserID=u001 VerifyCertNoFlag=1 CurrencyID=CNY BankPwdFlag=0 SecuPwdFlag=1 RequestID=13"},
    {11209, "ReqQryTransferSerial", "CThostFtdcQryTransferSerialField", "BrokerID=9999 AccountID=acc01 CurrencyID=CNY"},
    {11210, "ReqQryExecOrder", "CThostFtdcQryExecOrderField",
     "BrokerID=9999 InvestorID=inv01 InsertTimeStart=09:00:00 InsertTimeEnd=09:00:00"},
    {11211, "ReqQryForQuote", "CThostFtdcQryForQuoteField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE InsertTimeStart=09:00:00 "
     "InsertTimeEnd=09:00:00"},
    {11212, "ReqQryQuote", "CThostFtdcQryQuoteField",
     "BrokerID=9999 InvestorID=inv01 InsertTimeStart=09:00:00 InsertTimeEnd=09:00:00"},
    {11213, "ReqQryOptionSelfClose", "CThostFtdcQryOptionSelfCloseField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE OptionSelfCloseSysID=biz7 "
     "InsertTimeStart=09:00:00 InsertTimeEnd=09:00:00"},
    {11214, "ReqQryParkedOrder", "CThostFtdcQryParkedOrderField", ""},
    {11215, "ReqQryParkedOrderAction", "CThostFtdcQryParkedOrderActionField", ""},
    {11216, "ReqQryCombAction", "CThostFtdcQryCombActionField", "BrokerID=9999 InvestorID=inv01"},
    {11217, "ReqQryInvestorPositionCombineDetail", "CThostFtdcQryInvestorPositionCombineDetailField",
     "BrokerID=9999 InvestorID=inv01 CombInstrumentID=rb2405 ExchangeID=SHFE"},
    {11301, "ReqQryInvestor", "CThostFtdcQryInvestorField", "BrokerID=9999 InvestorID=inv01"},
    {11302, "ReqQryTradingCode", "CThostFtdcQryTradingCodeField", "BrokerID=9999 InvestorID=inv01 ExchangeID=SHFE"},
    {11303, "ReqQryCFMMCTradingAccountKey", "CThostFtdcQryCFMMCTradingAccountKeyField", "BrokerID=9999 InvestorID=inv01"},
    {11304, "ReqQueryCFMMCTradingAccountToken", "CThostFtdcQueryCFMMCTradingAccountTokenField",
     "BrokerID=9999 InvestorID=inv01"},
    {11305, "ReqQryAccountregister", "CThostFtdcQryAccountregisterField", ""},
    {11306, "ReqQryContractBank", "CThostFtdcQryContractBankField", ""},
    {11308, "ReqQryTransferBank", "CThostFtdcQryTransferBankField", ""},
    {11309, "ReqQryOptionInstrTradeCost", "CThostFtdcQryOptionInstrTradeCostField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 HedgeFlag=3 ExchangeID=SHFE InputPrice=3.5"},
    {11310, "ReqQryInstrumentMarginRate", "CThostFtdcQryInstrumentMarginRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 HedgeFlag=3 ExchangeID=SHFE"},
    {11311, "ReqQryInvestorProductGroupMargin", "CThostFtdcQryInvestorProductGroupMarginField",
     "BrokerID=9999 InvestorID=inv01 HedgeFlag=3 ExchangeID=SHFE ProductGroupID=rb2405"},
    {11312, "ReqQryInstrumentCommissionRate", "CThostFtdcQryInstrumentCommissionRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE"},
    {11313, "ReqQryOptionInstrCommRate", "CThostFtdcQryOptionInstrCommRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405 ExchangeID=SHFE"},
    {11314, "ReqQryMMInstrumentCommissionRate", "CThostFtdcQryMMInstrumentCommissionRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405"},
    {11315, "ReqQryMMOptionInstrCommRate", "CThostFtdcQryMMOptionInstrCommRateField",
     "BrokerID=9999 InvestorID=inv01 InstrumentID=rb2405"},
    {11316, "ReqQrySettlementInfoConfirm", "CThostFtdcQrySettlementInfoConfirmField",
     "BrokerID=9999 InvestorID=inv01 AccountID=acc01"},
    {11317, "ReqQryTradingNotice", "CThostFtdcQryTradingNoticeField", ""},
    {11318, "ReqQrySecAgentACIDMap", "CThostFtdcQrySecAgentACIDMapField",
     "BrokerID=9999 UserID=u001 AccountID=acc01 CurrencyID=CNY"},
    {11319, "ReqQrySecAgentTradingAccount", "CThostFtdcQryTradingAccountField",
     "BrokerID=9999 InvestorID=inv01 AccountID=acc01"},
    {11320, "ReqQrySecAgentCheckMode", "CThostFtdcQrySecAgentCheckModeField", "BrokerID=9999 InvestorID=inv01"},
    {11321, "ReqQrySecAgentTradeInfo", "CThostFtdcQrySecAgentTradeInfoField", "BrokerID=9999"},
    {11322, "ReqQryBrokerTradingParams", "CThostFtdcQryBrokerTradingParamsField", ""},
    {11323, "ReqQryBrokerTradingAlgos", "CThostFtdcQryBrokerTradingAlgosField", ""},
    {11401, "ReqQryDepthMarketData", "CThostFtdcQryDepthMarketDataField", "InstrumentID=rb2405 ExchangeID=SHFE"},
    {11402, "ReqQryInstrument", "CThostFtdcQryInstrumentField", "InstrumentID=rb2405 ExchangeID=SHFE"},
    {11403, "ReqQryCombInstrumentGuard", "CThostFtdcQryCombInstrumentGuardField", "BrokerID=9999"},
    {11404, "ReqQryProduct", "CThostFtdcQryProductField", "ExchangeID=SHFE ProductID=rb2405"},
    {11405, "ReqQryProductGroup", "CThostFtdcQryProductGroupField", "ExchangeID=SHFE ProductID=rb2405"},
    {11406, "ReqQryExchange", "CThostFtdcQryExchangeField", "ExchangeID=SHFE"},
    {11407, "ReqQryExchangeMarginRate", "CThostFtdcQryExchangeMarginRateField",
     "BrokerID=9999 InstrumentID=rb2405 HedgeFlag=3 ExchangeID=SHFE"},
    {11408, "ReqQryExchangeMarginRateAdjust", "CThostFtdcQryExchangeMarginRateAdjustField",
     "BrokerID=9999 InstrumentID=rb2405 HedgeFlag=3"},
    {11409, "ReqQryNotice", "CThostFtdcQryNoticeField", "BrokerID=9999"},
    {11410, "ReqQryEWarrantOffset", "CThostFtdcQryEWarrantOffsetField",
     "BrokerID=9999 InvestorID=inv01 ExchangeID=SHFE InstrumentID=rb2405"},
    // A currency id has 3 characters: the instrument code is cut to them.
    {11411, "ReqQryExchangeRate", "CThostFtdcQryExchangeRateField", "BrokerID=9999 FromCurrencyID=rb2"},
    {11412, "ReqQryProductExchRate", "CThostFtdcQryProductExchRateField", "ExchangeID=SHFE ProductID=rb2405"},
};

// --- The catalogue -------------------------------------------------------------------------------

TEST_F(QueryCommandsTest, EveryTaskIdSendsItsRequestWithExactlyItsFields) {
  qv::QueryCommands commands(context());
  EXPECT_EQ(commands.size(), 57u);
  EXPECT_EQ(std::size(kCatalogue) + 1, commands.size()) << "11102 is checked on its own";
  int32_t requestId = 0;
  for (const CatalogueRow& row : kCatalogue) {
    SCOPED_TRACE(row.taskId);
    ASSERT_TRUE(commands.has(row.taskId));
    api.clear();
    Task t = task(row.taskId);
    ASSERT_EQ(commands.run(t), 0);
    std::vector<RecordedCall> calls = api.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, row.request);
    EXPECT_EQ(calls[0].requestId, ++requestId);
    EXPECT_STREQ(t.userId, "u001");
    expectRecord(calls[0], row.record, row.fields);
  }
}

TEST_F(QueryCommandsTest, ExchangeRateSplitsTheCurrencyPairAndASecondRunSendsTheCutText) {
  qv::QueryCommands commands(context());
  Task pair = task(11411);
  qv::copyText(pair.command.StandardID, "USD/CNY");
  ASSERT_EQ(commands.run(pair), 0);
  ASSERT_EQ(commands.run(pair), 0);
  Task single = task(11411);
  qv::copyText(single.command.StandardID, "USD");
  ASSERT_EQ(commands.run(single), 0);

  std::vector<RecordedCall> calls = api.calls("ReqQryExchangeRate");
  ASSERT_EQ(calls.size(), 3u);
  expectRecord(calls[0], "CThostFtdcQryExchangeRateField", "BrokerID=9999 FromCurrencyID=USD ToCurrencyID=CNY");
  expectRecord(calls[1], "CThostFtdcQryExchangeRateField", "BrokerID=9999 FromCurrencyID=USD");
  expectRecord(calls[2], "CThostFtdcQryExchangeRateField", "BrokerID=9999 FromCurrencyID=USD");
  EXPECT_STREQ(pair.command.StandardID, "USD");
}

TEST_F(QueryCommandsTest, EmptyCommandSendsNoFilter) {
  qv::QueryCommands commands(context());
  Task t{};
  t.taskId = 11402;
  ASSERT_EQ(commands.run(t), 0);
  expectRecord(api.calls()[0], "CThostFtdcQryInstrumentField", "");
}

// --- Texts longer than their fields --------------------------------------------------------------

TEST_F(QueryCommandsTest, LongTextsAreCutToTheirFields) {
  qv::QueryCommands commands(context());
  std::memset(login.AccountID, 'a', sizeof login.AccountID);  // unterminated, wider than CTP's 13
  std::memset(login.UserID, 'u', sizeof login.UserID);        // unterminated, as wide as CTP's
  Task t = task(11202);
  std::memset(t.command.StandardID, 'x', sizeof t.command.StandardID - 1);  // 80 > CTP's 30
  ASSERT_EQ(commands.run(t), 0);
  Task account = task(11207);
  ASSERT_EQ(commands.run(account), 0);

  std::vector<RecordedCall> calls = api.calls();
  ASSERT_EQ(calls.size(), 2u);
  expectRecord(calls[0], "CThostFtdcQryOrderField",
               "BrokerID=9999 InvestorID=inv01 InstrumentID=" + std::string(30, 'x') +
                   " ExchangeID=SHFE OrderSysID=biz7 InsertTimeStart=09:00:00 InsertTimeEnd=10:00:00");
  expectRecord(calls[1], "CThostFtdcQryTradingAccountField",
               "BrokerID=9999 InvestorID=inv01 AccountID=" + std::string(12, 'a') + " CurrencyID=CNY");
  EXPECT_EQ(std::string(t.userId), std::string(15, 'u'));
}

// --- Failures ------------------------------------------------------------------------------------

// run() raises nothing (it runs under the queue lock); the queue raises what it returns.
TEST_F(QueryCommandsTest, UnknownTaskIdSendsNothingAndNamesTheUserForItsEvent) {
  qv::QueryCommands commands(context());
  EXPECT_FALSE(commands.has(11307));
  Task t = task(11307);
  EXPECT_EQ(commands.run(t), -1003200);
  EXPECT_EQ(api.size(), 0u);
  EXPECT_EQ(counter.load(), 0);
  EXPECT_STREQ(t.userId, "u001");
}

TEST_F(QueryCommandsTest, RefusedRequestReturnsTheLibraryResult) {
  qv::QueryCommands commands(context());
  api.setResult("ReqQueryBankAccountMoneyByFuture", -3);
  Task t = task(36);
  EXPECT_EQ(commands.run(t), -3);
  EXPECT_EQ(t.taskId, 11208) << "36 runs as 11208, also when refused";
  EXPECT_STREQ(t.userId, "u001");
}

TEST_F(QueryCommandsTest, WithoutALibraryObjectEveryRequestIsRefused) {
  qv::CommandContext c = context();
  c.api = nullptr;
  qv::QueryCommands commands(c);
  Task t = task(11205);
  EXPECT_EQ(commands.run(t), -1);
  EXPECT_EQ(counter.load(), 0);
}

TEST_F(QueryCommandsTest, RequestIdsComeFromTheSharedCounter) {
  qv::QueryCommands commands(context());
  counter.store(41);  // order entry already took 41 ids
  Task a = task(11205);
  Task b = task(11207);
  commands.run(a);
  commands.run(b);
  std::vector<RecordedCall> calls = api.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].requestId, 42);
  EXPECT_EQ(calls[1].requestId, 43);
  EXPECT_EQ(counter.load(), 43);
  EXPECT_EQ(a.requestId, 42) << "the task knows which request answers it";
  EXPECT_EQ(b.requestId, 43);
}

TEST_F(QueryCommandsTest, BankBalanceRecordCarriesItsRequestIdForTheReturnToEcho) {
  qv::QueryCommands commands(context());
  Task t = task(36);
  ASSERT_EQ(commands.run(t), 0);
  std::vector<RecordedCall> calls = api.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].as<CThostFtdcReqQueryAccountField>().RequestID, calls[0].requestId);
  EXPECT_EQ(t.requestId, calls[0].requestId);
}

// --- Market-data login ---------------------------------------------------------------------------

TEST_F(QueryCommandsTest, MarketDataLoginGoesToTheMarketDataClient) {
  qv::CommandContext c = context();
  Task* given = nullptr;
  c.marketDataLogin = [&](Task& t) {
    given = &t;
    return 7;
  };
  qv::QueryCommands commands(c);
  Task t = task(11102);
  EXPECT_EQ(commands.run(t), 7);
  EXPECT_EQ(given, &t);
  EXPECT_STREQ(t.userId, "u001");
  EXPECT_EQ(api.size(), 0u);
}

TEST_F(QueryCommandsTest, MarketDataLoginWithoutMarketDataClientFailsQuietly) {
  qv::QueryCommands commands(context());
  Task t = task(11102);
  EXPECT_EQ(commands.run(t), -1002100);
  EXPECT_EQ(api.size(), 0u);
}

}  // namespace

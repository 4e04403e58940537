#include "trading/md_client.h"

#include <algorithm>

#include "bridge/callables.h"
#include "bridge/event_text.h"
#include "tasks/task.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

// The exchanges the book knows; "U" collects instruments whose exchange is not known yet.
constexpr const char* kBookExchanges[] = {"SHFE", "CZCE", "DCE", "CFFEX", "INE", "U"};
constexpr char kBookType = '0';
constexpr const char* kUnknownExchange = "U";

std::string bookKey(const std::string& exchange, char type) { return exchange + '.' + type; }

}  // namespace

MdClient::MdClient(const CQVLoginField* login, HostObject marketDataCallable,
                   HostObject responseCallable)
    : snapshots_(1024), login_(login), responseFallback_(&bridge::printResponseEvent) {
  bridge::initCallable(responseSlot_, responseCallable);
  for (CallableSlot& slot : snapshotSlots_) bridge::initCallable(slot, marketDataCallable);
  for (CallableSlot& slot : detailSlots_) bridge::initCallable(slot, responseCallable);
  SpinFlagGuard guard(bookLock_);
  for (const char* exchange : kBookExchanges) book_.emplace(bookKey(exchange, kBookType), CodeSet{});
}

MdClient::~MdClient() = default;

CallableSlot* MdClient::snapshotSlot(int32_t eventId) {
  if (eventId < kFirstSnapshotEvent || eventId > kLastSnapshotEvent) return nullptr;
  return &snapshotSlots_[eventId - kFirstSnapshotEvent];
}

CallableSlot* MdClient::detailSlot(int32_t eventId) {
  if (eventId < kFirstDetailEvent || eventId > kLastDetailEvent) return nullptr;
  return &detailSlots_[eventId - kFirstDetailEvent];
}

void MdClient::raiseResponse(int32_t eventId, const void* record, bool isLast, int32_t errorId,
                             const char* message) const {
  bridge::raiseResponse(responseSlot_, responseFallback_, eventId, record, isLast,
                        login_->UserID, errorId, message);
}

void MdClient::raiseLoginRefused(int32_t result) const {
  raiseResponse(kMarketDataLoginTaskId, nullptr, true, result, kFailToSendMessage);
}

MdClient::Groups MdClient::updateBook(const char* exchangeId, char** codes, int32_t count,
                                      char type, BookAction action) {
  Groups groups;
  SpinFlagGuard guard(bookLock_);
  for (int32_t i = 0; i < count; ++i) {
    const char* code = codes[i];
    if (code == nullptr) continue;
    std::string exchange;
    if (exchangeId != nullptr && exchangeId[0] != 'U') {
      exchange = exchangeId;
    } else {
      const InstrumentInfo* info = findInstrument(code, nullptr);
      exchange = info != nullptr ? info->ExchangeID : kUnknownExchange;
    }
    auto it = book_.find(bookKey(exchange, type));
    if (it == book_.end()) continue;
    CodeSet& set = it->second;
    if (action == BookAction::kAdd) {
      if (!set.insert(code).second) continue;
    } else {
      if (set.erase(code) == 0) continue;
    }
    groups[exchange].emplace_back(code);
  }
  return groups;
}

int32_t MdClient::sendGroups(const Groups& groups, bool subscribing) {
  int32_t sum = 0;
  for (const auto& [exchange, codes] : groups) {
    std::vector<char*> texts;
    texts.reserve(codes.size());
    for (const std::string& code : codes) texts.push_back(const_cast<char*>(code.c_str()));
    const int32_t n = static_cast<int32_t>(texts.size());
    sum += subscribing ? sendSubscribe(exchange.c_str(), texts.data(), n, kBookType)
                       : sendUnsubscribe(exchange.c_str(), texts.data(), n, kBookType);
  }
  return sum;
}

int32_t MdClient::subscribe(const char* exchangeId, char** codes, int32_t count, char type) {
  if (codes == nullptr) return replay(type);
  if (count <= 0) return 0;
  return sendGroups(updateBook(exchangeId, codes, count, type, BookAction::kAdd), true);
}

int32_t MdClient::unsubscribe(const char* exchangeId, char** codes, int32_t count, char type) {
  if (codes == nullptr || count <= 0) return 0;
  return sendGroups(updateBook(exchangeId, codes, count, type, BookAction::kRemove), false);
}

int32_t MdClient::replay(char type) {
  // Instruments booked under "U" are looked up again: those the instrument table now knows move to
  // their exchange's set, the others leave the book.
  const std::string unknownKey = bookKey(kUnknownExchange, type);
  std::vector<std::string> unknown;
  {
    SpinFlagGuard guard(bookLock_);
    auto it = book_.find(unknownKey);
    if (it != book_.end()) {
      unknown.assign(it->second.begin(), it->second.end());
      it->second.clear();
    }
  }
  if (!unknown.empty()) {
    std::vector<char*> texts;
    for (std::string& code : unknown) texts.push_back(code.data());
    updateBook(nullptr, texts.data(), static_cast<int32_t>(texts.size()), type, BookAction::kAdd);
    SpinFlagGuard guard(bookLock_);
    book_[unknownKey].clear();
  }
  // Copy every set under the lock and send from the copies.
  std::vector<std::pair<std::string, std::vector<std::string>>> sets;
  {
    SpinFlagGuard guard(bookLock_);
    for (const auto& [key, set] : book_) {
      if (!set.empty()) sets.emplace_back(key, std::vector<std::string>(set.begin(), set.end()));
    }
  }
  int32_t sum = 0;
  for (const auto& [key, codes] : sets) {
    std::vector<char*> texts;
    for (const std::string& code : codes) texts.push_back(const_cast<char*>(code.c_str()));
    sum += sendSubscribe(key.c_str(), texts.data(), static_cast<int32_t>(texts.size()), kBookType);
  }
  return sum;
}

std::vector<std::string> MdClient::bookedCodes(const std::string& key) const {
  std::vector<std::string> codes;
  {
    SpinFlagGuard guard(bookLock_);
    auto it = book_.find(key);
    if (it != book_.end()) codes.assign(it->second.begin(), it->second.end());
  }
  std::sort(codes.begin(), codes.end());
  return codes;
}

}  // namespace qv

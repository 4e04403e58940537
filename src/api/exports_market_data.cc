// Subscription exports, forwarded to the client's market-data client.
//
// The host's texts are copied before the market-data client sees them, each read no further than
// the instrument record's field holds (an instrument code 30 bytes, an exchange id 8): a text without a
// terminator is cut there instead of being read until the process faults. An array count beyond
// any instrument list is refused with -1002400; a count up to it is trusted, as a C array's
// length must be.
#include <cstring>
#include <string>
#include <vector>

#include "api/export_guard.h"
#include "api/exports.h"
#include "trading/error_codes.h"
#include "trading/instrument_info.h"
#include "trading/md_client.h"

using qv::api::guarded;
using qv::api::kErrInternal;

namespace {

constexpr char kDefaultType = '0';
// More instruments than every exchange lists, options included.
constexpr int32_t kMaxSubscribeCount = 65536;

std::string boundedText(const char* text, size_t width) {
  return std::string(text, strnlen(text, width - 1));
}

// The host's exchange id, or null when it gave none.
class ExchangeCopy {
 public:
  explicit ExchangeCopy(const char* exchangeId)
      : given_(exchangeId != nullptr),
        text_(given_ ? boundedText(exchangeId, sizeof(qv::InstrumentInfo::ExchangeID)) : std::string()) {}
  const char* get() const { return given_ ? text_.c_str() : nullptr; }

 private:
  bool given_;
  std::string text_;
};

// The host's array of codes, each copied with its bound; null entries stay null.
class CodesCopy {
 public:
  CodesCopy(char** codes, int32_t count) {
    texts_.reserve(static_cast<size_t>(count));
    pointers_.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      texts_.push_back(codes[i] != nullptr
                           ? boundedText(codes[i], sizeof(qv::InstrumentInfo::InstrumentID))
                           : std::string());
    }
    for (int32_t i = 0; i < count; ++i) {
      pointers_.push_back(codes[i] != nullptr ? texts_[static_cast<size_t>(i)].data() : nullptr);
    }
  }
  char** get() { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

enum class Action { kSubscribe, kUnsubscribe };

int32_t forward(QvHandle handle, Action action, char** codes, int32_t count,
                const char* exchangeId, char type) {
  if (!qv::api::knownHandle(handle)) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] {
    qv::MdClient* md = handle->mdClient();
    if (md == nullptr) return qv::kErrNoMdClient;
    if (count > kMaxSubscribeCount) return qv::kErrCountRefused;
    const ExchangeCopy exchange(exchangeId);
    // A null array asks for the replay of the book; a count below 1 names nothing.
    if (codes == nullptr || count <= 0) {
      return action == Action::kSubscribe ? md->subscribe(exchange.get(), codes, count, type)
                                          : md->unsubscribe(exchange.get(), codes, count, type);
    }
    CodesCopy copies(codes, count);
    return action == Action::kSubscribe
               ? md->subscribe(exchange.get(), copies.get(), count, type)
               : md->unsubscribe(exchange.get(), copies.get(), count, type);
  });
}

}  // namespace

int32_t subscribe(QvHandle handle, char** instrumentIds, int32_t count, const char* exchangeId,
                  int32_t type) {
  return forward(handle, Action::kSubscribe, instrumentIds, count, exchangeId,
                 static_cast<char>(type));
}

int32_t unsubscribe(QvHandle handle, char** instrumentIds, int32_t count, const char* exchangeId,
                    int32_t type) {
  return forward(handle, Action::kUnsubscribe, instrumentIds, count, exchangeId,
                 static_cast<char>(type));
}

int32_t subscribeOne(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  char* codes[1] = {const_cast<char*>(instrumentId)};
  return forward(handle, Action::kSubscribe, codes, 1, exchangeId, kDefaultType);
}

int32_t unsubscribeOne(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  char* codes[1] = {const_cast<char*>(instrumentId)};
  return forward(handle, Action::kUnsubscribe, codes, 1, exchangeId, kDefaultType);
}

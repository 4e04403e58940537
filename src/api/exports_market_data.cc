// Subscription exports, forwarded to the client's market-data client.
#include "api/export_guard.h"
#include "api/exports.h"
#include "trading/error_codes.h"
#include "trading/md_client.h"

using qv::api::guarded;
using qv::api::kErrInternal;

namespace {

constexpr char kDefaultType = '0';

template <typename Call>
int32_t withMdClient(QvHandle handle, Call&& call) {
  if (handle == nullptr) return qv::kErrNullHandle;
  return guarded<int32_t>(kErrInternal, [&] {
    qv::MdClient* md = handle->mdClient();
    if (md == nullptr) return qv::kErrNoMdClient;
    return call(*md);
  });
}

}  // namespace

int32_t subscribe(QvHandle handle, char** instrumentIds, int32_t count, const char* exchangeId,
                  int32_t type) {
  return withMdClient(handle, [&](qv::MdClient& md) {
    return md.subscribe(exchangeId, instrumentIds, count, static_cast<char>(type));
  });
}

int32_t unsubscribe(QvHandle handle, char** instrumentIds, int32_t count, const char* exchangeId,
                    int32_t type) {
  return withMdClient(handle, [&](qv::MdClient& md) {
    return md.unsubscribe(exchangeId, instrumentIds, count, static_cast<char>(type));
  });
}

int32_t subscribeOne(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  return withMdClient(handle, [&](qv::MdClient& md) {
    char* codes[1] = {const_cast<char*>(instrumentId)};
    return md.subscribe(exchangeId, codes, 1, kDefaultType);
  });
}

int32_t unsubscribeOne(QvHandle handle, const char* instrumentId, const char* exchangeId) {
  return withMdClient(handle, [&](qv::MdClient& md) {
    char* codes[1] = {const_cast<char*>(instrumentId)};
    return md.unsubscribe(exchangeId, codes, 1, kDefaultType);
  });
}

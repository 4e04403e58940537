// What every export runs its body in: a check that the handle is one the runtime handed out, and
// a guard so that nothing thrown inside crosses extern "C" into the host: any exception ends as
// the export's failure value instead.
#ifndef QV_API_EXPORT_GUARD_H
#define QV_API_EXPORT_GUARD_H

#include <cstdint>
#include <utility>

#include "api/client_registry.h"

namespace qv::api {

// Whether an export may use `handle`: only a client that init handed out. Null, and any address
// the runtime did not hand out, get the export's null-handle result.
inline bool knownHandle(const TraderClient* handle) { return ClientRegistry::knows(handle); }

// What an integer export returns when something was thrown inside (e.g. memory ran out).
inline constexpr int32_t kErrInternal = -1;

template <typename Result, typename Body>
Result guarded(Result onFailure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return onFailure;
  }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

// The record inside a holder (holder address + 8), or null.
template <typename Holder>
auto recordOf(Holder* holder) -> decltype(&holder->record) {
  return holder != nullptr ? &holder->record : nullptr;
}

}  // namespace qv::api

#endif  // QV_API_EXPORT_GUARD_H

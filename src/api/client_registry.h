// ClientRegistry: every trading client that init built, keyed by the decimal text of its login
// record's UserType, in insertion order (loop and exitX walk it in that order). Entries are never
// removed, so a client pointer read from it stays valid. Process-wide, one instance.
// Thread safety: any thread; a SpinRwLock guards the entries (init writes, loop/exitX read).
#ifndef QV_API_CLIENT_REGISTRY_H
#define QV_API_CLIENT_REGISTRY_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/spin_lock.h"
#include "trading/trader_client.h"

namespace qv::api {

class ClientRegistry {
 public:
  // The client under `key`, or null (also for a key present without a client).
  TraderClient* find(std::string_view key) const QV_EXCLUDES(lock_);
  // Enters `client` under `key`; a key already present keeps its place and gets the client.
  void insert(std::string_view key, TraderClient* client) QV_EXCLUDES(lock_);
  // The registered clients, in insertion order (entries without a client are left out).
  std::vector<TraderClient*> clients() const QV_EXCLUDES(lock_);

 private:
  mutable SpinRwLock lock_;
  std::vector<std::pair<std::string, TraderClient*>> entries_ QV_GUARDED_BY(lock_);
};

ClientRegistry& clientRegistry();

}  // namespace qv::api

#endif  // QV_API_CLIENT_REGISTRY_H

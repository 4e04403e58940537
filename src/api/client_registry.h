// ClientRegistry: every trading client that init built, keyed by the decimal text of its login
// record's UserType, in insertion order (loop and exitX walk it in that order). Entries are never
// removed, so a client pointer read from it stays valid. Process-wide, one instance.
//
// It is also the set of handles the runtime handed out: every export asks knows() before it
// dereferences a handle, so an address the host made up (zeroed memory, a record's address, a
// stale or random number) gets the export's null-handle result instead of a crash. That check is
// lock-free: a fixed array of atomic pointers (KnownHandles), scanned up to the number published;
// init accepts a few account types, each registered once, so the scan is short.
//
// Thread safety: any thread; a SpinRwLock guards the entries (init writes, loop/exitX read); the
// known handles are written under the same lock and read without it (release/acquire).
#ifndef QV_API_CLIENT_REGISTRY_H
#define QV_API_CLIENT_REGISTRY_H

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/spin_lock.h"
#include "trading/trader_client.h"

namespace qv::api {

// The handles init handed out, read without a lock. Constant-initialised (all null) and never
// destroyed, so an export may consult it from any thread at any time, even during start-up or
// exit of the process.
class KnownHandles {
 public:
  static constexpr size_t kCapacity = 64;

  bool contains(const TraderClient* handle) const {
    if (handle == nullptr) return false;
    const size_t n = published_.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
      if (slots_[i].load(std::memory_order_acquire) == handle) return true;
    }
    return false;
  }
  // Adds `client` in a free slot; false when all are taken. REQUIRES: one writer at a time.
  bool add(TraderClient* client);
  // Empties the slots holding `client`. REQUIRES: one writer at a time.
  void remove(const TraderClient* client);

 private:
  std::atomic<TraderClient*> slots_[kCapacity] = {};
  std::atomic<size_t> published_{0};
};

extern KnownHandles knownHandles;

class ClientRegistry {
 public:
  // The client under `key`, or null (also for a key present without a client).
  TraderClient* find(std::string_view key) const QV_EXCLUDES(lock_);
  // Enters `client` under `key`; a key already present keeps its place and gets the client.
  void insert(std::string_view key, TraderClient* client) QV_EXCLUDES(lock_);
  // The registered clients, in insertion order (entries without a client are left out).
  std::vector<TraderClient*> clients() const QV_EXCLUDES(lock_);

  // Whether `handle` is a client this registry holds. Never dereferences `handle`.
  static bool knows(const TraderClient* handle) { return knownHandles.contains(handle); }

  // Test-only: lets a client built outside init through the exports' handle check, until
  // TEST_forget. Returns false when the known-handle array is full.
  bool TEST_admit(TraderClient* client) QV_EXCLUDES(lock_);
  void TEST_forget(TraderClient* client) QV_EXCLUDES(lock_);

 private:
  mutable SpinRwLock lock_;
  std::vector<std::pair<std::string, TraderClient*>> entries_ QV_GUARDED_BY(lock_);
};

ClientRegistry& clientRegistry();

}  // namespace qv::api

#endif  // QV_API_CLIENT_REGISTRY_H

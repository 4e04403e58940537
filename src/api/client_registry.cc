#include "api/client_registry.h"

namespace qv::api {

constinit KnownHandles knownHandles;

bool KnownHandles::add(TraderClient* client) {
  const size_t n = published_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < n; ++i) {
    if (slots_[i].load(std::memory_order_relaxed) == nullptr) {
      slots_[i].store(client, std::memory_order_release);
      return true;
    }
  }
  if (n == kCapacity) return false;
  slots_[n].store(client, std::memory_order_release);
  published_.store(n + 1, std::memory_order_release);
  return true;
}

void KnownHandles::remove(const TraderClient* client) {
  const size_t n = published_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < n; ++i) {
    if (slots_[i].load(std::memory_order_relaxed) == client) {
      slots_[i].store(nullptr, std::memory_order_release);
    }
  }
}

TraderClient* ClientRegistry::find(std::string_view key) const {
  ReadGuard guard(lock_);
  for (const auto& [entryKey, client] : entries_) {
    if (entryKey == key) return client;
  }
  return nullptr;
}

void ClientRegistry::insert(std::string_view key, TraderClient* client) {
  WriteGuard guard(lock_);
  for (auto& [entryKey, entryClient] : entries_) {
    if (entryKey == key) {
      if (entryClient == nullptr && client != nullptr) {
        entryClient = client;
        knownHandles.add(client);
      }
      return;
    }
  }
  entries_.emplace_back(std::string(key), client);
  if (client != nullptr) knownHandles.add(client);
}

bool ClientRegistry::TEST_admit(TraderClient* client) {
  WriteGuard guard(lock_);
  return knownHandles.add(client);
}

void ClientRegistry::TEST_forget(TraderClient* client) {
  WriteGuard guard(lock_);
  knownHandles.remove(client);
}

std::vector<TraderClient*> ClientRegistry::clients() const {
  std::vector<TraderClient*> result;
  ReadGuard guard(lock_);
  for (const auto& entry : entries_) {
    if (entry.second != nullptr) result.push_back(entry.second);
  }
  return result;
}

ClientRegistry& clientRegistry() {
  // Never destroyed: clients live until the process ends and workers may still read it.
  static ClientRegistry* registry = new ClientRegistry;
  return *registry;
}

}  // namespace qv::api

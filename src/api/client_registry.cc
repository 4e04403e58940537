#include "api/client_registry.h"

namespace qv::api {

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
      if (entryClient == nullptr) entryClient = client;
      return;
    }
  }
  entries_.emplace_back(std::string(key), client);
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

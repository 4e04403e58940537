// TextMap: a map from key text to a holder pointer that stays safe to search while another thread
// inserts. Used for the process-wide instrument table, a client's positions and a market-data
// client's snapshots. The map never owns or frees what it points to: holders live as long as their
// client (or the process) because the host keeps their addresses.
//
// Thread safety: every member may be called from any thread. Searches take the map's SpinRwLock for
// reading, changes take it for writing; a pointer found stays valid after the lock is released
// because entries are never removed. Take this lock only while no holder lock is held.
#ifndef QV_TRADING_TEXT_MAP_H
#define QV_TRADING_TEXT_MAP_H

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/spin_lock.h"

namespace qv {

template <typename T>
class TextMap {
 public:
  TextMap() = default;
  explicit TextMap(size_t reserved) { entries_.reserve(reserved); }
  TextMap(const TextMap&) = delete;
  TextMap& operator=(const TextMap&) = delete;

  // The entry under `key`, or null. A null key finds nothing.
  T* find(const char* key) const {
    if (key == nullptr) return nullptr;
    return find(std::string_view(key));
  }
  T* find(std::string_view key) const {
    ReadGuard guard(lock_);
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
  }

  // Enters `value` under `key` unless the key is taken; returns the entry now under the key.
  T* insert(std::string_view key, T* value) {
    WriteGuard guard(lock_);
    auto it = entries_.find(key);
    if (it != entries_.end()) return it->second;
    entries_.emplace(std::string(key), value);
    return value;
  }

  // Enters `value` under `key`, replacing what was there.
  void assign(std::string_view key, T* value) {
    WriteGuard guard(lock_);
    auto it = entries_.find(key);
    if (it != entries_.end()) {
      it->second = value;
    } else {
      entries_.emplace(std::string(key), value);
    }
  }

  size_t size() const {
    ReadGuard guard(lock_);
    return entries_.size();
  }

  // Calls fn(key, value) for every entry under the read lock; fn must not touch this map.
  template <typename Fn>
  void forEach(Fn&& fn) const {
    ReadGuard guard(lock_);
    for (const auto& [key, value] : entries_) fn(key, value);
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };

  mutable SpinRwLock lock_;
  std::unordered_map<std::string, T*, Hash, Equal> entries_ QV_GUARDED_BY(lock_);
};

}  // namespace qv

#endif  // QV_TRADING_TEXT_MAP_H

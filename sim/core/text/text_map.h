// Hash maps keyed by text that are looked up with a std::string_view (a record's field, say)
// without building a string for the lookup. Their iteration order is not the keys' order: use them
// only where nothing walks the map in an order someone can see.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qvsim {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
};

template <typename V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

}  // namespace qvsim

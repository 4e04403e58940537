#include "base/path.h"

namespace qv {

std::vector<std::string> pathPieces(std::string_view path) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      if (i > start) pieces.emplace_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

std::string normalisedPath(std::string_view path) {
  std::string out;
  if (!path.empty() && path.front() == '/' && !pathPieces(path).empty()) out += '/';
  for (const std::string& piece : pathPieces(path)) {
    out += piece;
    out += '/';
  }
  return out;
}

}  // namespace qv

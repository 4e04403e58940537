#include "api/directory_maker.h"

#include <sys/stat.h>

#include <cerrno>

namespace qv::api {

std::vector<std::string> pathPieces(const std::string& path) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

std::string normalisedPath(const std::string& path) {
  std::string prefix;
  for (const std::string& piece : pathPieces(path)) prefix += piece + "/";
  return prefix;
}

bool makeDirectories(const std::string& path) {
  std::string prefix;
  for (const std::string& piece : pathPieces(path)) {
    // Any entry counts as existing (a file under the name makes a later piece fail instead).
    struct stat info;
    const bool exists = ::lstat((prefix + piece).c_str(), &info) == 0;
    prefix += piece + "/";
    if (exists) continue;
    // Another process may make the same directory between the test and the creation.
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace qv::api
